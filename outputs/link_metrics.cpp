#include "outputs/link_metrics.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sstream>
#include <thread>

#include <civetweb.h>
#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include "commands/catalogue.h"
#include "events/verdicts.h"
#include "link/transaction.h"

// What a scrape takes from the listener: counters and gauges are atomics, so
// Increment and Set never wait. Histogram::Observe and Histogram::Collect share
// one mutex per histogram; Collect holds it only while it copies the 16 bucket
// counts, and the serializing and the socket write happen after, on civetweb's
// own thread. Family::Collect locks the family's mutex, which counting never
// takes (every child was made up front). So a scrape delays an exchange by a copy
// of 16 numbers at most.

namespace {

const char* const CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

const char PAGE[] =
    "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Zantrox line metrics</title></head>\n"
    "<body><h1>Zantrox line metrics</h1>\n"
    "<p><a href=\"/metrics\">/metrics</a>: link health for Prometheus.</p>\n</body></html>\n";

// The verdicts an exchange can carry; "stopped" (Ctrl+C) is no judgement of the line.
const int COUNTED_VERDICTS[] = {VERDICT_OK,       VERDICT_NO_ACK,           VERDICT_CHECKSUM_ERROR,
                                VERDICT_INCOMPLETE, VERDICT_LINE_NEVER_QUIET, VERDICT_REPLY_WITHOUT_END,
                                VERDICT_OVERLAP,  VERDICT_UNANSWERED_REPLY};

std::once_flag civetwebReady;

// Length of the valid UTF-8 sequence at `p` (up to `end`), 0 when it is not one.
size_t Utf8Length(const unsigned char* p, const unsigned char* end) {
    size_t n = end - p;
    if (p[0] < 0x80) return 1;
    if (p[0] >= 0xC2 && p[0] <= 0xDF) return n >= 2 && (p[1] & 0xC0) == 0x80 ? 2 : 0;
    if (p[0] >= 0xE0 && p[0] <= 0xEF) {
        if (n < 3 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80) return 0;
        if (p[0] == 0xE0 && p[1] < 0xA0) return 0;   // overlong
        if (p[0] == 0xED && p[1] >= 0xA0) return 0;  // a surrogate
        return 3;
    }
    if (p[0] >= 0xF0 && p[0] <= 0xF4) {
        if (n < 4 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80 || (p[3] & 0xC0) != 0x80) return 0;
        if (p[0] == 0xF0 && p[1] < 0x90) return 0;   // overlong
        if (p[0] == 0xF4 && p[1] >= 0x90) return 0;  // past U+10FFFF
        return 4;
    }
    return 0;
}

void Reply(mg_connection* connection, int status, const char* type, const std::string& body, const char* extra) {
    mg_printf(connection,
              "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\nCache-Control: no-store\r\n%s"
              "Connection: close\r\n\r\n",
              status, mg_get_response_code_text(connection, status), type, body.size(), extra);
    // A HEAD request is refused, but still gets no body (as HTTP asks).
    if (std::strcmp(mg_get_request_info(connection)->request_method, "HEAD") != 0) {
        mg_write(connection, body.data(), body.size());
    }
}

// Opens and drops a connection to host:port (an IP literal).
void WakeListener(const std::string& host, int port) {
    sockaddr_storage address{};
    socklen_t size = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        size = sizeof *v4;
    } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        size = sizeof *v6;
    } else {
        return;
    }
    int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    (void)connect(fd, reinterpret_cast<sockaddr*>(&address), size);
    close(fd);
}

}  // namespace

const char* MetricsPage() { return PAGE; }

const char* MetricsContentType() { return CONTENT_TYPE; }

std::string MetricsLabelText(const std::string& text) {
    std::string out;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* end = p + text.size();
    while (p < end) {
        size_t n = Utf8Length(p, end);
        if (n == 0 || *p < 0x20 || *p == 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", *p);
            out += hex;
            n = 1;
        } else {
            out.append(reinterpret_cast<const char*>(p), n);
        }
        p += n;
    }
    return out;
}

bool MetricsListenPorts(const std::string& address, std::string& listen, std::string& error) {
    std::string host = "127.0.0.1";
    std::string port = address;
    bool v6 = false;
    size_t colon = address.rfind(':');
    if (colon != std::string::npos) {
        host = address.substr(0, colon);
        port = address.substr(colon + 1);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
            host = host.substr(1, host.size() - 2);
            v6 = true;
        }
    }
    unsigned char scratch[16];
    if (host.empty() || inet_pton(v6 ? AF_INET6 : AF_INET, host.c_str(), scratch) != 1) {
        error = "'" + address + "' is not ADDRESS:PORT (an IPv4 address, or an IPv6 address in brackets)";
        return false;
    }
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) > 65535) {
        error = "'" + address + "': the port is not a number from 0 to 65535";
        return false;
    }
    listen = (v6 ? "[" + host + "]" : host) + ":" + port;
    return true;
}

const std::vector<double>& LinkMetrics::Buckets() {
    static const std::vector<double> buckets = {.0005, .001, .002, .004, .008, .012, .016, .020,
                                                .025,  .032, .05,  .1,   .25,  .5,   1};
    return buckets;
}

std::vector<std::string> LinkMetrics::VerdictLabels() {
    std::vector<std::string> names;
    for (int code : COUNTED_VERDICTS) names.push_back(VerdictName(code));
    return names;
}

std::vector<std::string> LinkMetrics::CommandLabels() {
    std::vector<std::string> paths;
    for (const CatalogueItem& item : Catalogue()) {
        if (item.id != 0 && !IsSetting(item)) paths.push_back(item.path);
    }
    paths.push_back("unknown");
    return paths;
}

LinkMetrics::LinkMetrics(const std::vector<std::string>& lines, const std::string& version)
    : registry_(std::make_shared<prometheus::Registry>()) {
    using namespace prometheus;
    auto& exchanges = BuildCounter()
                          .Name("zantrox_exchanges_total")
                          .Help("Exchanges judged, by pump (empty: none named) and verdict.")
                          .Register(*registry_);
    for (int pump = 0; pump <= PUMPS; ++pump) {
        std::string label = pump == 0 ? "" : std::to_string(pump);
        for (int code : COUNTED_VERDICTS) {
            exchanges_[pump][code] = &exchanges.Add({{"pump", label}, {"verdict", VerdictName(code)}});
        }
    }

    auto& requests = BuildCounter()
                         .Name("zantrox_requests_total")
                         .Help("Requests seen, by the catalogue path that sends them.")
                         .Register(*registry_);
    commandPaths_ = CommandLabels();
    commandPaths_.pop_back();  // "unknown" has a counter of its own
    std::sort(commandPaths_.begin(), commandPaths_.end());
    commandPaths_.erase(std::unique(commandPaths_.begin(), commandPaths_.end()), commandPaths_.end());
    for (const std::string& path : commandPaths_) requests_.push_back(&requests.Add({{"command", path}}));
    unknownCommand_ = &requests.Add({{"command", "unknown"}});

    answer_ = &BuildHistogram()
                   .Name("zantrox_answer_seconds")
                   .Help("From a request's last byte to the controller's ACK.")
                   .Register(*registry_)
                   .Add({}, Buckets());
    reply_ = &BuildHistogram()
                  .Name("zantrox_reply_seconds")
                  .Help("From the ACK to the reply's last byte.")
                  .Register(*registry_)
                  .Add({}, Buckets());

    auto& up = BuildGauge().Name("zantrox_line_up").Help("1 while the line's adapter is open.").Register(*registry_);
    auto& reconnects = BuildCounter()
                           .Name("zantrox_line_reconnects_total")
                           .Help("Times the line's adapter came back after going away.")
                           .Register(*registry_);
    auto& stray = BuildCounter()
                      .Name("zantrox_stray_bytes_total")
                      .Help("Bytes on the line that belong to no frame.")
                      .Register(*registry_);
    auto& lastByte = BuildGauge()
                         .Name("zantrox_last_byte_timestamp_seconds")
                         .Help("When the last byte was heard on the line (0: none yet).")
                         .Register(*registry_);
    for (const std::string& name : lines) {
        Line line;
        line.label = MetricsLabelText(name);
        line.up = &up.Add({{"line", line.label}});
        line.reconnects = &reconnects.Add({{"line", line.label}});
        line.stray = &stray.Add({{"line", line.label}});
        line.lastByte = &lastByte.Add({{"line", line.label}});
        lines_.push_back(line);
    }
    latencies_ = &BuildGauge()
        .Name("zantrox_adapter_latency_seconds")
        .Help("The line adapter's latency timer, where it is known.")
        .Register(*registry_);
    BuildGauge()
        .Name("zantrox_build_info")
        .Help("The program's version; always 1.")
        .Register(*registry_)
        .Add({{"version", MetricsLabelText(version)}})
        .Set(1);
}

LinkMetrics::~LinkMetrics() { Stop(); }

void LinkMetrics::Exchange(int pump, int verdict, std::string_view command, double answerS, double replyS) {
    if (pump < 0 || pump > PUMPS) pump = 0;
    if (verdict >= 0 && verdict < MAX_VERDICTS && exchanges_[pump][verdict] != nullptr) {
        exchanges_[pump][verdict]->Increment();
    } else {
        return;  // stopped: not a judgement of the line
    }
    auto found = std::lower_bound(commandPaths_.begin(), commandPaths_.end(), command,
                                  [](const std::string& path, std::string_view name) { return path < name; });
    if (command.empty()) {
        // No request (a reply nobody asked for): no request to count.
    } else if (found != commandPaths_.end() && *found == command) {
        requests_[found - commandPaths_.begin()]->Increment();
    } else {
        unknownCommand_->Increment();
    }
    if (answerS >= 0) answer_->Observe(answerS);
    if (replyS >= 0) reply_->Observe(replyS);
}

void LinkMetrics::StrayBytes(int line, long long count) {
    if (line >= 0 && line < static_cast<int>(lines_.size()) && count > 0) {
        lines_[line].stray->Increment(static_cast<double>(count));
    }
}

void LinkMetrics::LineUp(int line, bool up) {
    if (line >= 0 && line < static_cast<int>(lines_.size())) lines_[line].up->Set(up ? 1 : 0);
}

void LinkMetrics::Reconnect(int line) {
    if (line >= 0 && line < static_cast<int>(lines_.size())) lines_[line].reconnects->Increment();
}

void LinkMetrics::LastByte(int line, double epochSeconds) {
    if (line >= 0 && line < static_cast<int>(lines_.size())) lines_[line].lastByte->Set(epochSeconds);
}

void LinkMetrics::AdapterLatency(int line, double seconds) {
    if (line < 0 || line >= static_cast<int>(lines_.size())) return;
    Line& l = lines_[line];
    if (l.latency == nullptr) {
        // Once a line at most: the only child made after the constructor.
        l.latency = &latencies_->Add({{"line", l.label}});
    }
    l.latency->Set(seconds);
}

std::string LinkMetrics::Exposition() const {
    std::ostringstream out;
    prometheus::TextSerializer().Serialize(out, registry_->Collect());
    return out.str();
}

int LinkMetrics::Handle(mg_connection* connection, void* self) {
    const mg_request_info* request = mg_get_request_info(connection);
    const std::string uri = request->local_uri != nullptr ? request->local_uri : "";
    if (uri != "/" && uri != "/metrics") {
        Reply(connection, 404, "text/plain; charset=utf-8", "not found: see /metrics\n", "");
        return 404;
    }
    // A read-only endpoint: nothing but GET is answered.
    if (std::strcmp(request->request_method, "GET") != 0) {
        Reply(connection, 405, "text/plain; charset=utf-8", "only GET is answered here\n", "Allow: GET\r\n");
        return 405;
    }
    if (uri == "/") {
        Reply(connection, 200, "text/html; charset=utf-8", PAGE, "");
    } else {
        Reply(connection, 200, CONTENT_TYPE, static_cast<LinkMetrics*>(self)->Exposition(), "");
    }
    return 200;
}

bool LinkMetrics::Start(const std::string& address, std::string& error) {
    std::string listen;
    if (!MetricsListenPorts(address, listen, error)) return false;
    Stop();
    std::call_once(civetwebReady, [] { mg_init_library(0); });
    const char* options[] = {"listening_ports", listen.c_str(), "num_threads", "2", "request_timeout_ms", "10000",
                             "enable_keep_alive", "no", nullptr};
    mg_callbacks callbacks;
    std::memset(&callbacks, 0, sizeof callbacks);
    // Start-up failures come back through `failure`; nothing else is worth a line on the console.
    callbacks.log_message = [](const mg_connection*, const char*) { return 1; };
    mg_init_data init = {&callbacks, this, options};
    char text[256] = "";
    unsigned code = 0;
    mg_error_data failure = {&code, text, sizeof text};
    server_ = mg_start2(&init, &failure);
    if (server_ == nullptr) {
        error = "cannot listen on " + listen + (text[0] != '\0' ? std::string(": ") + text : std::string());
        return false;
    }
    mg_set_request_handler(server_, "/", &LinkMetrics::Handle, this);
    mg_server_port ports[4];
    int n = mg_get_server_ports(server_, 4, ports);
    port_ = n > 0 ? ports[0].port : 0;
    // Where Stop's wake-up call goes: the address itself, or loopback for "any".
    wakeHost_ = listen.substr(0, listen.rfind(':'));
    if (wakeHost_.front() == '[') wakeHost_ = wakeHost_.substr(1, wakeHost_.size() - 2);
    if (wakeHost_ == "0.0.0.0") wakeHost_ = "127.0.0.1";
    if (wakeHost_ == "::") wakeHost_ = "::1";
    return true;
}

int LinkMetrics::Port() const { return port_; }

void LinkMetrics::Stop() {
    if (server_ == nullptr) return;
    // civetweb's listening thread looks at its stop flag only between polls of
    // 2 s; a connection to the port wakes it, so Ctrl+C ends the program at once.
    std::atomic<bool> stopped{false};
    std::thread waker([this, &stopped] {
        while (!stopped) {
            WakeListener(wakeHost_, port_);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    mg_stop(server_);
    stopped = true;
    waker.join();
    server_ = nullptr;
    port_ = 0;
}
