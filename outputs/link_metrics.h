// Link health as Prometheus metrics: what a listener judged on its line(s), kept in
// counters, gauges and histograms that an HTTP endpoint (/metrics) hands to a
// Prometheus server. Linux only (prometheus-cpp's core and civetweb are Debian's).
//
// Every series exists from the start at 0: Prometheus then sees a rate from the
// first scrape, and no alert waits for a series to appear. Every child is made in
// the constructor, so counting an exchange allocates nothing and takes no lock
// but the histogram's own (see Exchange).
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct mg_context;
struct mg_connection;

namespace prometheus {
class Counter;
class Gauge;
class Histogram;
class Registry;
template <typename T>
class Family;
}  // namespace prometheus

class LinkMetrics {
public:
    static const int PUMPS = 32;  // pump labels "1".."32", and "" for none
    // Answer and reply times resolve a USB adapter's 16 ms latency timer and
    // whether an answer came within the console's windows.
    static const std::vector<double>& Buckets();

    // `lines`: the label of each line, by the index the other calls take ("host",
    // "ctrl" for a tap; the port name for one line). A name that is not UTF-8
    // comes out with its odd bytes as \xNN.
    LinkMetrics(const std::vector<std::string>& lines, const std::string& version);
    ~LinkMetrics();
    LinkMetrics(const LinkMetrics&) = delete;
    LinkMetrics& operator=(const LinkMetrics&) = delete;

    // One exchange judged. `pump` 0 (or outside 1..32) counts under "";
    // `verdict` is a TransactionVerdict or TapOnlyVerdict, named as VerdictName
    // names it ("stopped" is not counted, as elsewhere); `command` a catalogue
    // path, anything else counts as "unknown", "" is no request at all. `answerS`: request's end to the
    // ACK; `replyS`: the ACK to the reply's end; negative when there was none.
    void Exchange(int pump, int verdict, std::string_view command, double answerS, double replyS);
    void StrayBytes(int line, long long count);
    void LineUp(int line, bool up);
    void Reconnect(int line);
    // The last byte heard on `line`, in seconds since 1970.
    void LastByte(int line, double epochSeconds);
    // The adapter's latency timer, when it is known; its series appears with the
    // first call (make it before Start so it is there from the first scrape).
    void AdapterLatency(int line, double seconds);

    // Serves /metrics and a page at / on `address` ("PORT", "IPv4:PORT" or
    // "[IPv6]:PORT"; 127.0.0.1 when no address is given; port 0 takes a free one).
    // False with the reason in `error` when it cannot.
    bool Start(const std::string& address, std::string& error);
    // The port served, once started (0 before).
    int Port() const;
    void Stop();

    // The exposition as /metrics serves it (text format 0.0.4).
    std::string Exposition() const;

    // The verdict names counted, in the order of their codes.
    static std::vector<std::string> VerdictLabels();
    // The command paths counted: every catalogue item that sends (not the settings
    // nor the hot keys, which repeat menu items), then "unknown".
    static std::vector<std::string> CommandLabels();

private:
    static int Handle(mg_connection* connection, void* self);

    struct Line {
        prometheus::Gauge* up = nullptr;
        prometheus::Counter* reconnects = nullptr;
        prometheus::Counter* stray = nullptr;
        prometheus::Gauge* lastByte = nullptr;
        prometheus::Gauge* latency = nullptr;  // made when known
        std::string label;
    };
    static const int MAX_VERDICTS = 16;

    std::shared_ptr<prometheus::Registry> registry_;
    // exchanges_[pump][verdict code]; nullptr for a code not counted.
    std::array<std::array<prometheus::Counter*, MAX_VERDICTS>, PUMPS + 1> exchanges_{};
    std::vector<std::string> commandPaths_;         // sorted, for a lookup without allocating
    std::vector<prometheus::Counter*> requests_;    // by position in commandPaths_
    prometheus::Counter* unknownCommand_ = nullptr;
    prometheus::Histogram* answer_ = nullptr;
    prometheus::Histogram* reply_ = nullptr;
    std::vector<Line> lines_;
    prometheus::Family<prometheus::Gauge>* latencies_ = nullptr;
    mg_context* server_ = nullptr;
    int port_ = 0;
    std::string wakeHost_;
};

// The civetweb listening_ports text for a --metrics value: "9464" ->
// "127.0.0.1:9464", "0.0.0.0:9464", "[::1]:9464". False with the reason when the
// value is not an IP address and a port.
bool MetricsListenPorts(const std::string& address, std::string& listen, std::string& error);

// A label value Prometheus accepts: valid UTF-8 kept, control characters and
// bytes that are not UTF-8 written as \xNN.
std::string MetricsLabelText(const std::string& text);

// What the endpoint serves at / (a page linking /metrics), and /metrics' content type.
const char* MetricsPage();
const char* MetricsContentType();
