// LinkMetrics as Prometheus sees it: the exposition over HTTP on loopback, every
// series there from the start, counts where the exchanges put them, hostile line
// names escaped, and scrapes beside a counting thread.

#include <atomic>
#include <cmath>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "events/verdicts.h"
#include "outputs/link_metrics.h"
#include "events/analyzer.h"
#include "link/transaction.h"
#include "tests/support/http_ask.h"

namespace {

// The value of `series` (name and labels as written) in an exposition; NaN when absent.
double Sample(const std::string& exposition, const std::string& series) {
    std::istringstream lines(exposition);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() > series.size() && line.compare(0, series.size(), series) == 0 && line[series.size()] == ' ') {
            return std::stod(line.substr(series.size() + 1));
        }
    }
    return std::nan("");
}

// Samples of metric `name` (label sets of any kind).
std::vector<double> Samples(const std::string& exposition, const std::string& name) {
    std::vector<double> values;
    std::istringstream lines(exposition);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, name.size() + 1, name + "{") == 0 || line.compare(0, name.size() + 1, name + " ") == 0) {
            values.push_back(std::stod(line.substr(line.rfind(' ') + 1)));
        }
    }
    return values;
}

std::string Exchanges(const std::string& pump, const std::string& verdict) {
    return "zantrox_exchanges_total{pump=\"" + pump + "\",verdict=\"" + verdict + "\"}";
}

class Served : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(metrics.Start("127.0.0.1:0", error)) << error;
        ASSERT_GT(metrics.Port(), 0);
    }
    std::string Scrape() {
        HttpAnswer r = HttpAsk(metrics.Port(), "GET", "/metrics");
        EXPECT_EQ(r.status, 200);
        return r.body;
    }
    LinkMetrics metrics{{"host", "ctrl"}, "2.1.0"};
};

// ---- Series: all there at 0, then where the exchanges put them ----

TEST_F(Served, EverySeriesIsThereAtZeroBeforeAnything) {
    std::string text = Scrape();
    std::vector<double> exchanges = Samples(text, "zantrox_exchanges_total");
    EXPECT_EQ(exchanges.size(), 33u * LinkMetrics::VerdictLabels().size());
    for (double v : exchanges) EXPECT_EQ(v, 0);
    std::vector<double> requests = Samples(text, "zantrox_requests_total");
    EXPECT_EQ(requests.size(), LinkMetrics::CommandLabels().size());
    for (double v : requests) EXPECT_EQ(v, 0);
    for (const char* line : {"host", "ctrl"}) {
        for (const char* name : {"zantrox_line_up", "zantrox_line_reconnects_total", "zantrox_stray_bytes_total",
                                 "zantrox_last_byte_timestamp_seconds"}) {
            EXPECT_EQ(Sample(text, std::string(name) + "{line=\"" + line + "\"}"), 0) << name << " " << line;
        }
    }
    EXPECT_EQ(Sample(text, "zantrox_answer_seconds_bucket{le=\"+Inf\"}"), 0);
    EXPECT_EQ(Sample(text, "zantrox_reply_seconds_count"), 0);
    EXPECT_EQ(Sample(text, "zantrox_build_info{version=\"2.1.0\"}"), 1);
    EXPECT_TRUE(Samples(text, "zantrox_adapter_latency_seconds").empty()) << "no latency is known yet";
    // Every verdict the tap judges has its series, under the name the JSON output uses.
    for (int verdict : {TAP_OK, TAP_NO_ACK, TAP_CHECKSUM_ERROR, TAP_INCOMPLETE, TAP_OVERLAP, TAP_UNANSWERED_REPLY}) {
        EXPECT_EQ(Sample(text, Exchanges("", VerdictName(verdict))), 0) << VerdictName(verdict);
    }
    EXPECT_EQ(Sample(text, "zantrox_requests_total{command=\"Pump/Sale/Read\"}"), 0);
    EXPECT_EQ(Sample(text, "zantrox_requests_total{command=\"unknown\"}"), 0);
}

TEST_F(Served, ExchangesCountUnderTheirPumpVerdictAndCommand) {
    metrics.Exchange(7, VERDICT_OK, "Pump/Sale/Read", 0.016, 0.1);
    metrics.Exchange(7, VERDICT_OK, "Pump/Sale/Read", 0.0161, 0.1);
    metrics.Exchange(32, VERDICT_NO_ACK, "Pump/Status/Select", -1, -1);
    metrics.Exchange(0, VERDICT_UNANSWERED_REPLY, "unknown", -1, -1);
    metrics.Exchange(40, VERDICT_OVERLAP, "Pump/Sale/Reed", 0.0004, -1);  // no such pump, no such path
    metrics.Exchange(1, VERDICT_STOPPED, "Pump/Sale/Read", 0.001, -1);    // Ctrl+C judges nothing
    std::string text = Scrape();
    EXPECT_EQ(Sample(text, Exchanges("7", "ok")), 2);
    EXPECT_EQ(Sample(text, Exchanges("32", "no-ack")), 1);
    EXPECT_EQ(Sample(text, Exchanges("", "unanswered reply")), 1);
    EXPECT_EQ(Sample(text, Exchanges("", "overlap")), 1);
    double total = 0;
    for (double v : Samples(text, "zantrox_exchanges_total")) total += v;
    EXPECT_EQ(total, 5);
    EXPECT_EQ(Sample(text, "zantrox_requests_total{command=\"Pump/Sale/Read\"}"), 2);
    EXPECT_EQ(Sample(text, "zantrox_requests_total{command=\"Pump/Status/Select\"}"), 1);
    EXPECT_EQ(Sample(text, "zantrox_requests_total{command=\"unknown\"}"), 2);
    // A 16 ms adapter latency falls in its own bucket, and a hair more in the next.
    EXPECT_EQ(Sample(text, "zantrox_answer_seconds_bucket{le=\"0.0005\"}"), 1);
    EXPECT_EQ(Sample(text, "zantrox_answer_seconds_bucket{le=\"0.012\"}"), 1);
    EXPECT_EQ(Sample(text, "zantrox_answer_seconds_bucket{le=\"0.016\"}"), 2);
    EXPECT_EQ(Sample(text, "zantrox_answer_seconds_bucket{le=\"0.02\"}"), 3);
    EXPECT_EQ(Sample(text, "zantrox_answer_seconds_count"), 3);  // none for a missing ACK
    EXPECT_NEAR(Sample(text, "zantrox_answer_seconds_sum"), 0.0325, 1e-9);
    EXPECT_EQ(Sample(text, "zantrox_reply_seconds_count"), 2);
    EXPECT_EQ(Sample(text, "zantrox_reply_seconds_bucket{le=\"0.05\"}"), 0);
    EXPECT_EQ(Sample(text, "zantrox_reply_seconds_bucket{le=\"0.1\"}"), 2);
}

TEST_F(Served, LineEventsLandOnTheirOwnLine) {
    metrics.StrayBytes(1, 12);
    metrics.StrayBytes(1, 3);
    metrics.LineUp(0, true);
    metrics.LineUp(1, true);
    metrics.LineUp(1, false);
    metrics.Reconnect(0);
    metrics.LastByte(1, 1800000000.25);
    metrics.AdapterLatency(0, 0.016);
    metrics.AdapterLatency(0, 0.001);
    metrics.StrayBytes(5, 1);  // no such line: ignored
    std::string text = Scrape();
    EXPECT_EQ(Sample(text, "zantrox_stray_bytes_total{line=\"ctrl\"}"), 15);
    EXPECT_EQ(Sample(text, "zantrox_stray_bytes_total{line=\"host\"}"), 0);
    EXPECT_EQ(Sample(text, "zantrox_line_up{line=\"host\"}"), 1);
    EXPECT_EQ(Sample(text, "zantrox_line_up{line=\"ctrl\"}"), 0);
    EXPECT_EQ(Sample(text, "zantrox_line_reconnects_total{line=\"host\"}"), 1);
    EXPECT_EQ(Sample(text, "zantrox_last_byte_timestamp_seconds{line=\"ctrl\"}"), 1800000000.25);
    EXPECT_EQ(Sample(text, "zantrox_adapter_latency_seconds{line=\"host\"}"), 0.001);
    EXPECT_EQ(Samples(text, "zantrox_adapter_latency_seconds").size(), 1u);
}

// ---- Hostile line names ----

TEST(MetricsLabels, BytesThatAreNotUtf8OrControlsComeOutAsHex) {
    EXPECT_EQ(MetricsLabelText("/dev/ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(MetricsLabelText("/dev/caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x8c"), "/dev/caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x8c");
    EXPECT_EQ(MetricsLabelText("a\xff" "b"), "a\\xFFb");
    EXPECT_EQ(MetricsLabelText("\xc0\xaf"), "\\xC0\\xAF");              // overlong "/"
    EXPECT_EQ(MetricsLabelText("\xed\xa0\x80"), "\\xED\\xA0\\x80");     // a surrogate
    EXPECT_EQ(MetricsLabelText("\xf4\x90\x80\x80"), "\\xF4\\x90\\x80\\x80");  // past U+10FFFF
    EXPECT_EQ(MetricsLabelText("x\xe2\x82"), "x\\xE2\\x82");           // cut short at the end
    EXPECT_EQ(MetricsLabelText(std::string("a\0b\n\x7f", 5)), "a\\x00b\\x0A\\x7F");
}

TEST(MetricsLabels, HostilePortNameIsEscapedInTheExposition) {
    LinkMetrics metrics({"/dev/tty\xff\"odd\\\n"}, "2.1.0\xfe");
    std::string text = metrics.Exposition();
    // The quote and the backslashes escaped as the text format asks; no raw byte left.
    EXPECT_EQ(Sample(text, "zantrox_line_up{line=\"/dev/tty\\\\xFF\\\"odd\\\\\\\\x0A\"}"), 0);
    EXPECT_EQ(Sample(text, "zantrox_build_info{version=\"2.1.0\\\\xFE\"}"), 1);
    for (unsigned char c : text) EXPECT_TRUE(c < 0x80) << "a raw byte " << int(c);
}

// ---- HTTP ----

TEST_F(Served, MetricsAnswersGetInTheTextFormat) {
    HttpAnswer r = HttpAsk(metrics.Port(), "GET", "/metrics");
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.headers.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"), std::string::npos)
        << r.headers;
    EXPECT_EQ(r.body, metrics.Exposition());
}

TEST_F(Served, EveryMethodButGetIsRefused) {
    for (const char* method : {"POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH"}) {
        HttpAnswer r = HttpAsk(metrics.Port(), method, "/metrics");
        EXPECT_EQ(r.status, 405) << method;
        EXPECT_NE(r.headers.find("Allow: GET\r\n"), std::string::npos) << method;
        EXPECT_EQ(r.body.find("zantrox_"), std::string::npos) << method;
    }
    EXPECT_EQ(HttpAsk(metrics.Port(), "POST", "/").status, 405);
}

TEST_F(Served, RootPageLinksToMetricsAndOtherPathsAreNotFound) {
    HttpAnswer r = HttpAsk(metrics.Port(), "GET", "/");
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.headers.find("Content-Type: text/html"), std::string::npos);
    EXPECT_NE(r.body.find("<a href=\"/metrics\">"), std::string::npos);
    EXPECT_EQ(HttpAsk(metrics.Port(), "GET", "/metrics/x").status, 404);
    EXPECT_EQ(HttpAsk(metrics.Port(), "GET", "/index.html").status, 404);
    EXPECT_EQ(HttpAsk(metrics.Port(), "GET", "/../etc/passwd").status, 404);
}

// ---- Where it listens ----

TEST(MetricsAddress, APortAloneMeansLoopbackAndOnlyIpAddressesAreTaken) {
    std::string listen, error;
    ASSERT_TRUE(MetricsListenPorts("9464", listen, error));
    EXPECT_EQ(listen, "127.0.0.1:9464");
    ASSERT_TRUE(MetricsListenPorts("0.0.0.0:9464", listen, error));
    EXPECT_EQ(listen, "0.0.0.0:9464");
    ASSERT_TRUE(MetricsListenPorts("[::1]:9464", listen, error));
    EXPECT_EQ(listen, "[::1]:9464");
    for (const char* bad : {"", ":9464", "site.example:9464", "10.0.0.300:1", "127.0.0.1:", "127.0.0.1:65536",
                            "127.0.0.1:94x", "::1:9464", "[::1]", "[127.0.0.1]:1", "127.0.0.1:1,8080"}) {
        error.clear();
        EXPECT_FALSE(MetricsListenPorts(bad, listen, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(MetricsAddress, APortTakenIsRefusedWithTheReason) {
    LinkMetrics first({"host"}, "2.1.0"), second({"host"}, "2.1.0");
    std::string error;
    ASSERT_TRUE(first.Start("0", error)) << error;
    EXPECT_FALSE(second.Start(std::to_string(first.Port()), error));
    EXPECT_NE(error.find("127.0.0.1:" + std::to_string(first.Port())), std::string::npos) << error;
    EXPECT_EQ(second.Port(), 0);
}

// ---- A scrape beside the listener ----

TEST_F(Served, ScrapesWhileAnotherThreadCountsLoseNothing) {
    const int total = 20000;
    std::atomic<bool> done{false};
    std::thread listener([&] {
        for (int i = 0; i < total; ++i) metrics.Exchange(i % 33, VERDICT_OK, "Pump/Sale/Read", 0.001, 0.05);
        done = true;
    });
    double last = 0;
    int scrapes = 0;
    while (!done || scrapes == 0) {
        double seen = Sample(Scrape(), "zantrox_requests_total{command=\"Pump/Sale/Read\"}");
        EXPECT_GE(seen, last);
        last = seen;
        ++scrapes;
    }
    listener.join();
    std::string text = Scrape();
    EXPECT_EQ(Sample(text, "zantrox_requests_total{command=\"Pump/Sale/Read\"}"), total);
    EXPECT_EQ(Sample(text, "zantrox_answer_seconds_count"), total);
    EXPECT_EQ(Sample(text, "zantrox_reply_seconds_bucket{le=\"0.05\"}"), total);
}

}  // namespace
