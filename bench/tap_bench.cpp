// watch --tap: how close a piece's first-byte time is to the moment the peer wrote
// it, what listening costs in CPU (silent, and at 40 exchanges a second), and what
// 10,000 exchanges held for the report take in memory.
//
//   tap_bench ZANTROX_CLI [EXCHANGES] [RUNS]
//   tap_bench --outputs ZANTROX_CLI [EXCHANGES] [RUNS] [SCRAPES]
//
// --outputs: what --metrics (scraped every second), --metrics with --web-config
// (HTTPS and basic auth at cost 10, scraped every second as Prometheus does) and
// --pcapng add to the tap's CPU at 40 exchanges a second, the four taps taking
// turns on the same traffic within each run; then SCRAPES back-to-back scrapes of
// the metrics tap and of the HTTPS tap (a handshake each), timed and checked for
// every series, with the HTTPS tap's memory before, after 1,000 and at the end.
//
// Each run first drives the same traffic past a bare listener (this program again,
// a poll on both lines and a time for the first byte after a silence, nothing
// else): what the machine itself gives, against which the tap is to be read.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <crypt.h>
#include <netinet/tcp.h>
#include <nlohmann/json.hpp>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "outputs/link_metrics.h"
#include "report/tap_report.h"
#include "link/frame.h"
#include "bench/http_get.h"
#include "tests/support/child.h"
#include "tests/support/pty_peer.h"

using testsupport::Bytes;
using testsupport::Child;
using testsupport::Frame;
using testsupport::PtyPeer;

namespace {

// A fresh folder under TMPDIR (else /tmp) for the runs' files; "" when none could be made.
std::string MakeWorkDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/zantrox-tap-bench-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    return mkdtemp(name.data()) == nullptr ? std::string() : std::string(name.data());
}

long long RealUs() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

long long MonoUs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void SleepUntilMono(long long us) {
    timespec at = {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != 0) {
    }
}

// "2026-12-08T09:30:01.123456Z" -> microseconds since 1970.
long long IsoUs(const std::string& text) {
    std::tm parts = {};
    if (strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &parts) == nullptr) return 0;
    return static_cast<long long>(timegm(&parts)) * 1000000 + std::atoll(text.c_str() + 20);
}

// CPU seconds (user + system) a process has used.
double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = all.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(all.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::atof(field.c_str());
        if (i == 15) break;
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long RssKb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return 0;
}

double Pct(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5)];
}

// The bare listener: prints {"kind","dir","first"} for every byte that follows a
// silence of 2 ms on its line, until SIGINT.
volatile sig_atomic_t bareStop = 0;
void OnBareStop(int) { bareStop = 1; }

int BareListener(const char* hostPath, const char* ctrlPath) {
    signal(SIGINT, OnBareStop);
    const char* paths[2] = {hostPath, ctrlPath};
    pollfd lines[2];
    for (int i = 0; i < 2; ++i) {
        lines[i].fd = open(paths[i], O_RDWR | O_NOCTTY | O_NONBLOCK);
        lines[i].events = POLLIN;
        if (lines[i].fd < 0) return 1;
    }
    const long long realMinusMono = RealUs() - MonoUs();
    long long lastByte[2] = {0, 0};
    std::fprintf(stderr, "listening\n");
    while (bareStop == 0) {
        if (poll(lines, 2, 200) <= 0) continue;
        long long now = MonoUs();
        for (int i = 0; i < 2; ++i) {
            if ((lines[i].revents & POLLIN) == 0) continue;
            unsigned char buffer[512];
            ssize_t got = read(lines[i].fd, buffer, sizeof buffer);
            if (got <= 0) continue;
            // A piece starts after a silence, and at every ACK or STX (a late wake
            // may hand over an ACK and the reply after it at once).
            bool starts = now - lastByte[i] >= 2000;
            for (ssize_t b = 0; b < got; ++b) {
                if (buffer[b] != ACK && buffer[b] != STX && !(starts && b == 0)) continue;
                long long us = now + realMinusMono;
                time_t seconds = static_cast<time_t>(us / 1000000);
                std::tm parts;
                gmtime_r(&seconds, &parts);
                char iso[32];
                std::strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%S", &parts);
                std::printf("{\"kind\":\"frame\",\"dir\":\"%s\",\"first\":\"%s.%06lldZ\"}\n",
                            i == 0 ? "host" : "ctrl", iso, us % 1000000);
                std::fflush(stdout);
                starts = false;
            }
            lastByte[i] = now;
        }
    }
    return 0;
}

struct Lateness {
    std::vector<double> ms;  // first-byte time minus the peer's write, per piece
    size_t judgedOk = 0;
    std::vector<std::string> notOk;
};

struct Writes {
    std::vector<long long> host, ctrl;  // wall-clock times, microseconds
};

// 40 exchanges a second: request, ACK 5 ms later, reply 5 ms after that.
Writes Drive(PtyPeer& host, PtyPeer& ctrl, int exchanges) {
    const Bytes request = Frame("B07R");
    const Bytes ack{ACK};
    const Bytes reply = Frame("B07R011111001332");
    Writes writes;
    long long start = MonoUs() + 100000;
    for (int i = 0; i < exchanges; ++i) {
        long long t = start + i * 25000LL;
        SleepUntilMono(t);
        writes.host.push_back(RealUs());
        host.Write(request);
        SleepUntilMono(t + 5000);
        writes.ctrl.push_back(RealUs());
        ctrl.Write(ack);
        SleepUntilMono(t + 10000);
        writes.ctrl.push_back(RealUs());
        ctrl.Write(reply);
    }
    SleepUntilMono(MonoUs() + 300000);
    return writes;
}

// Sets each piece's "first" against the write it came from, in order per line.
Lateness Match(const std::string& output, const Writes& writes) {
    Lateness result;
    size_t h = 0, c = 0;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_discarded()) continue;
        if (j["kind"] == "exchange") {
            if (j["verdict"] == "ok") ++result.judgedOk;
            else result.notOk.push_back(line);
            continue;
        }
        bool fromHost = j["dir"] == "host";
        const std::vector<long long>& sent = fromHost ? writes.host : writes.ctrl;
        size_t& at = fromHost ? h : c;
        if (at >= sent.size()) continue;
        result.ms.push_back(static_cast<double>(IsoUs(j["first"].get<std::string>()) - sent[at++]) / 1000.0);
    }
    return result;
}

void PrintLateness(const char* who, const Lateness& late) {
    size_t over1 = 0, over2 = 0;
    for (double ms : late.ms) {
        over1 += ms > 1.0 ? 1 : 0;
        over2 += ms > 2.0 ? 1 : 0;
    }
    std::printf("%s: %zu pieces, first-byte time minus the peer's write: median %.3f ms, p95 %.3f ms, max %.3f ms; "
                "over 1 ms: %zu, over 2 ms: %zu\n",
                who, late.ms.size(), Pct(late.ms, 0.5), Pct(late.ms, 0.95), Pct(late.ms, 1.0), over1, over2);
}

void Memory() {
    LineClock clock;
    ReportModel model;
    long before = RssKb();
    const char* commands[] = {"Pump/Sale/Read", "Pump/Status/Extended", "Pump/Sale/Extended", "Pump/Sale/Clear"};
    for (int i = 0; i < 10000; ++i) {
        TapExchange e;
        e.firstUs = MonoUs() + i * 25000LL;
        e.endUs = e.firstUs + 12000;
        e.hasRequest = true;
        e.request = "B" + std::to_string(10 + i % 32) + "R";
        e.command = commands[i % 4];
        e.pump = 1 + i % 32;
        e.ackMs = 4.2 + (i % 7);
        e.hasReply = true;
        e.reply = "B07R011111001332";
        e.replyValid = true;
        e.answer = Frame(e.reply);
        e.answer.insert(e.answer.begin(), ACK);
        e.replyExpected = true;
        e.verdict = i % 50 == 0 ? TAP_NO_ACK : TAP_OK;
        model.Add(RecordOfExchange(e, clock));
    }
    long after = RssKb();
    std::printf("10,000 exchanges held for the report: model %.2f MB (its own count), RSS grew %.2f MB\n",
                static_cast<double>(model.BytesHeld()) / 1e6, static_cast<double>(after - before) / 1024.0);
}

// A TCP port free on loopback now.
int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size) == 0) {
        port = ntohs(at.sin_port);
    }
    close(fd);
    return port;
}

// One GET /metrics as a scraper makes it: connect, ask, read to the end. The body,
// or "" on any failure; `ms` the time from connecting to the last byte.
std::string Scrape(int port, double& ms, std::string* failure = nullptr) {
    long long start = MonoUs();
    std::string all = benchsupport::GetFromLoopback(port, "/metrics");
    ms = static_cast<double>(MonoUs() - start) / 1000.0;
    if (all.rfind("HTTP/1.1 200", 0) != 0) {
        if (failure != nullptr) *failure = std::to_string(errno) + " " + all.substr(0, 40);
        return "";
    }
    size_t body = all.find("\r\n\r\n");
    return body == std::string::npos ? "" : all.substr(body + 4);
}

// --web-config's side: a CA, a certificate for 127.0.0.1 it signed, a user's
// bcrypt hash at cost 10 (what htpasswd -nBC 10 makes), in `dir`.
struct Https {
    std::string dir, user = "prometheus", password = "bench password";
    bool Make() {
        const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
        const std::string make = "cd '" + dir + "' && openssl req -x509" + ec +
                                 " -keyout ca.key -out ca.crt -days 2 -subj /CN=bench-ca 2>/dev/null && openssl req" +
                                 ec + " -keyout server.key -out server.csr -subj /CN=bench 2>/dev/null && "
                                      "printf 'subjectAltName=IP:127.0.0.1\\n' > san && openssl x509 -req -in "
                                      "server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -out server.crt "
                                      "-extfile san 2>/dev/null";
        if (system(make.c_str()) != 0) return false;
        char setting[CRYPT_GENSALT_OUTPUT_SIZE];
        crypt_data data{};
        if (crypt_gensalt_rn("$2b$", 10, nullptr, 0, setting, sizeof setting) == nullptr) return false;
        std::ofstream(dir + "/web.yml") << "tls_server_config: {cert_file: server.crt, key_file: server.key}\n"
                                        << "basic_auth_users: {" << user << ": '"
                                        << crypt_r(password.c_str(), setting, &data) << "'}\n";
        return true;
    }
    std::string Base64Credentials() const {
        const std::string text = user + ":" + password;
        std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
        const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                      reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
        out.resize(static_cast<size_t>(n));
        return out;
    }
    // A scraper's TLS settings as Prometheus has them: the CA checked, no session
    // resumption (each scrape a full handshake).
    SSL_CTX* Context() const {
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_load_verify_locations(ctx, (dir + "/ca.crt").c_str(), nullptr);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
        return ctx;
    }
};

// One GET /metrics over TLS with basic auth, on a new connection, as Prometheus
// makes it: the body, or "" with the reason in `failure`; `ms` from connecting to
// the last byte.
std::string ScrapeHttps(SSL_CTX* ctx, int port, const std::string& authorization, double& ms,
                        std::string* failure = nullptr) {
    long long start = MonoUs();
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    at.sin_port = htons(static_cast<uint16_t>(port));
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // as Go's net/http has it
    std::string all;
    SSL* ssl = SSL_new(ctx);
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), "127.0.0.1");
    SSL_set_fd(ssl, fd);
    if (connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 && SSL_connect(ssl) == 1) {
        const std::string ask = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: " + authorization +
                                "\r\nConnection: close\r\n\r\n";
        if (SSL_write(ssl, ask.data(), static_cast<int>(ask.size())) == static_cast<int>(ask.size())) {
            char buffer[65536];
            int got;
            while ((got = SSL_read(ssl, buffer, sizeof buffer)) > 0) all.append(buffer, static_cast<size_t>(got));
        }
    } else if (failure != nullptr) {
        *failure = "handshake: " + std::to_string(ERR_get_error());
    }
    ERR_clear_error();
    SSL_free(ssl);
    close(fd);
    ms = static_cast<double>(MonoUs() - start) / 1000.0;
    if (all.rfind("HTTP/1.1 200", 0) != 0) {
        if (failure != nullptr && failure->empty()) *failure = all.substr(0, 40);
        return "";
    }
    size_t body = all.find("\r\n\r\n");
    return body == std::string::npos ? "" : all.substr(body + 4);
}

long RssKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return 0;
}

// The samples of an exposition (its lines that are not comments).
int Samples(const std::string& exposition) {
    int n = 0;
    std::istringstream lines(exposition);
    std::string line;
    while (std::getline(lines, line)) n += !line.empty() && line[0] != '#' ? 1 : 0;
    return n;
}

double Median(std::vector<double> v) { return Pct(std::move(v), 0.5); }

// The tap with `extra` options, CPU at 40 exchanges a second as % of a core.
// With `https`, the endpoint is scraped over TLS with basic auth, and `rssKb` gets
// the tap's RSS before the back-to-back scrapes, after 1,000 and after them all.
double TapCpu(const char* cli, PtyPeer& host, PtyPeer& ctrl, int exchanges, const std::string& dir,
              const std::vector<std::string>& extra, int metricsPort, int scrapes, std::vector<double>& scrapeMs,
              int& seriesBad, const Https* https = nullptr, long* rssKb = nullptr) {
    std::vector<std::string> argv = {cli, "watch", "--tap", host.slavePath(), ctrl.slavePath(), "--json"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    // A name of its own: the previous tap's files would say "listening" at once.
    static int started = 0;
    Child tap;
    bool up = tap.Start(argv, dir, "tap-" + std::to_string(++started)) && testsupport::WaitUntil([&] {
        return tap.Stderr().find("listening") != std::string::npos;
    }, 10000);
    if (!up) {
        std::fprintf(stderr, "tap_bench: the tap did not start: %s\n", tap.Stderr().c_str());
        std::exit(1);
    }
    const int want = metricsPort > 0 ? Samples(LinkMetrics({"host", "ctrl"}, "x").Exposition()) : 0;
    // A Prometheus server's part: a scrape every second while the traffic flows.
    std::atomic<bool> driving{true};
    std::vector<double> duringMs;
    std::thread scraper;
    SSL_CTX* tls = https != nullptr ? https->Context() : nullptr;
    const std::string authorization = https != nullptr ? "Basic " + https->Base64Credentials() : "";
    auto scrape = [&](double& ms, std::string* failure) {
        return tls != nullptr ? ScrapeHttps(tls, metricsPort, authorization, ms, failure)
                              : Scrape(metricsPort, ms, failure);
    };
    if (metricsPort > 0) {
        scraper = std::thread([&] {
            for (long long next = MonoUs(); driving; next += 1000000) {
                SleepUntilMono(next);
                double ms = 0;
                std::string failure;
                std::string body = scrape(ms, &failure);
                duringMs.push_back(ms);
                if (Samples(body) != want) {
                    std::printf("    scrape %zu had %d series of %d: %s\n", duringMs.size(), Samples(body), want,
                                failure.c_str());
                    ++seriesBad;
                }
            }
        });
    }
    SleepUntilMono(MonoUs() + 1000000);
    double cpu0 = CpuSeconds(tap.Pid());
    long long wall0 = MonoUs();
    Writes writes = Drive(host, ctrl, exchanges);
    double cpu = CpuSeconds(tap.Pid()) - cpu0;
    double wallS = static_cast<double>(MonoUs() - wall0) / 1e6;
    driving = false;
    if (scraper.joinable()) scraper.join();
    if (metricsPort > 0) {
        std::vector<double> later(duringMs.begin() + (duringMs.empty() ? 0 : 1), duringMs.end());
        std::printf("    scrapes during the traffic: %zu, the first %.3f ms, then median %.3f ms, max %.3f ms\n",
                    duringMs.size(), duringMs.empty() ? 0.0 : duringMs[0], Median(later), Pct(later, 1.0));
        if (rssKb != nullptr) rssKb[0] = RssKb(tap.Pid());
        for (int i = 0; i < scrapes; ++i) {
            double ms = 0;
            std::string body = scrape(ms, nullptr);
            scrapeMs.push_back(ms);
            if (Samples(body) != want) {
                std::printf("    a scrape had %d series of %d\n", Samples(body), want);
                ++seriesBad;
            }
            if (rssKb != nullptr && i + 1 == 1000) rssKb[1] = RssKb(tap.Pid());
        }
        if (rssKb != nullptr) rssKb[2] = RssKb(tap.Pid());
        SSL_CTX_free(tls);
    }
    tap.Signal(SIGINT);
    tap.Wait(10000);
    Lateness late = Match(tap.Stdout(), writes);
    if (late.judgedOk != static_cast<size_t>(exchanges)) {
        std::printf("    judged ok: %zu of %d\n", late.judgedOk, exchanges);
    }
    return 100.0 * cpu / wallS;
}

int Outputs(const char* given, int exchanges, int runs, int scrapes) {
    char cli[4096];
    if (realpath(given, cli) == nullptr) {
        std::fprintf(stderr, "tap_bench: no program at %s\n", given);
        return 2;
    }
    const std::string dir = MakeWorkDir();
    if (dir.empty()) return 1;
    PtyPeer host;
    PtyPeer ctrl;
    if (!host.ok() || !ctrl.ok()) return 1;
    const int KINDS = 4;
    const char* names[KINDS] = {"plain", "--metrics", "--pcapng", "--web-config"};
    std::vector<double> cpu[KINDS];
    std::vector<double> plus[KINDS];
    std::vector<double> scrapeMs, httpsMs;
    long rssKb[3] = {0, 0, 0};
    int seriesBad = 0;
    Https https;
    https.dir = dir;
    if (!https.Make()) {
        std::fprintf(stderr, "tap_bench: openssl or crypt could not make the HTTPS files\n");
        return 1;
    }
    for (int run = 1; run <= runs; ++run) {
        std::printf("run %d of %d, %d exchanges a tap\n", run, runs, exchanges);
        double got[KINDS];
        for (int k = 0; k < KINDS; ++k) {
            int v = (run - 1 + k) % KINDS;  // each takes each place in turn
            std::vector<std::string> extra;
            int port = 0;
            if (v == 1 || v == 3) {
                port = FreePort();
                extra = {"--metrics", "127.0.0.1:" + std::to_string(port)};
            } else if (v == 2) {
                extra = {"--pcapng", dir + "/tap.pcapng"};
            }
            if (v == 3) {
                extra.push_back("--web-config");
                extra.push_back(dir + "/web.yml");
                got[v] = TapCpu(cli, host, ctrl, exchanges, dir, extra, port, run == 1 ? scrapes : 0, httpsMs,
                                seriesBad, &https, rssKb);
            } else {
                got[v] = TapCpu(cli, host, ctrl, exchanges, dir, extra, port, run == 1 ? scrapes : 0, scrapeMs,
                                seriesBad);
            }
            std::printf("  %-12s CPU at 40 exchanges/s: %.2f %% of a core\n", names[v], got[v]);
        }
        for (int v = 0; v < KINDS; ++v) {
            cpu[v].push_back(got[v]);
            plus[v].push_back(got[v] - got[0]);
        }
    }
    std::printf("CPU at 40 exchanges/s, %% of a core, min / median / max over %d runs:\n", runs);
    for (int v = 0; v < KINDS; ++v) {
        std::printf("  %-12s %.2f / %.2f / %.2f", names[v], Pct(cpu[v], 0), Median(cpu[v]), Pct(cpu[v], 1));
        if (v > 0) std::printf("   more than plain: %+.2f / %+.2f / %+.2f", Pct(plus[v], 0), Median(plus[v]), Pct(plus[v], 1));
        std::printf("\n");
    }
    if (!scrapeMs.empty()) {
        size_t over5 = 0;
        for (double ms : scrapeMs) over5 += ms > 5.0 ? 1 : 0;
        std::printf("%zu scrapes back to back: min %.3f ms, median %.3f ms, p99 %.3f ms, max %.3f ms; over 5 ms: %zu\n",
                    scrapeMs.size(), Pct(scrapeMs, 0), Median(scrapeMs), Pct(scrapeMs, 0.99), Pct(scrapeMs, 1), over5);
    }
    if (!httpsMs.empty()) {
        std::vector<double> after(httpsMs.begin() + 1, httpsMs.end());
        size_t over5 = 0;
        for (double ms : after) over5 += ms > 5.0 ? 1 : 0;
        std::printf("--web-config: %zu scrapes back to back, a handshake each: the first %.3f ms, the %zu after it: "
                    "min %.3f ms, median %.3f ms, p99 %.3f ms, max %.3f ms; over 5 ms: %zu\n",
                    httpsMs.size(), httpsMs[0], after.size(), Pct(after, 0), Median(after), Pct(after, 0.99),
                    Pct(after, 1), over5);
        std::printf("--web-config: tap RSS %ld kB before the scrapes, %ld kB after 1,000, %ld kB after %zu (%+ld kB)\n",
                    rssKb[0], rssKb[1], rssKb[2], httpsMs.size(), rssKb[2] - rssKb[1]);
    }
    std::printf("scrapes without every series: %d\n", seriesBad);
    std::string command = "rm -rf '" + dir + "'";
    return system(command.c_str()) == 0 && seriesBad == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--bare-listener") return BareListener(argv[2], argv[3]);
    if (argc >= 3 && std::string(argv[1]) == "--outputs") {
        return Outputs(argv[2], argc > 3 ? std::atoi(argv[3]) : 1200, argc > 4 ? std::atoi(argv[4]) : 3,
                       argc > 5 ? std::atoi(argv[5]) : 1000);
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: tap_bench ZANTROX_CLI [EXCHANGES] [RUNS]\n       tap_bench --outputs ZANTROX_CLI [EXCHANGES] [RUNS] [SCRAPES]\n");
        return 2;
    }
    int exchanges = argc > 2 ? std::atoi(argv[2]) : 334;
    int runs = argc > 3 ? std::atoi(argv[3]) : 1;
    char cli[4096];
    char self[4096];
    if (realpath(argv[1], cli) == nullptr || realpath("/proc/self/exe", self) == nullptr) {
        std::fprintf(stderr, "tap_bench: no program at %s\n", argv[1]);
        return 2;
    }
    Memory();

    const std::string dir = MakeWorkDir();
    if (dir.empty()) return 1;
    PtyPeer host;
    PtyPeer ctrl;
    if (!host.ok() || !ctrl.ok()) return 1;
    auto started = [](Child& child) {
        return testsupport::WaitUntil([&] { return child.Stderr().find("listening") != std::string::npos; }, 10000);
    };

    for (int run = 1; run <= runs; ++run) {
        std::printf("run %d of %d, %d exchanges\n", run, runs, exchanges);
        Child bare;
        if (!bare.Start({self, "--bare-listener", host.slavePath(), ctrl.slavePath()}, dir, "bare") || !started(bare)) {
            std::fprintf(stderr, "tap_bench: the bare listener did not start\n");
            return 1;
        }
        SleepUntilMono(MonoUs() + 500000);
        Writes bareWrites = Drive(host, ctrl, exchanges);
        bare.Signal(SIGINT);
        bare.Wait(10000);
        PrintLateness("  bare listener", Match(bare.Stdout(), bareWrites));

        Child tap;
        if (!tap.Start({cli, "watch", "--tap", host.slavePath(), ctrl.slavePath(), "--json"}, dir, "tap") ||
            !started(tap)) {
            std::fprintf(stderr, "tap_bench: the tap did not start: %s\n", tap.Stderr().c_str());
            return 1;
        }
        const int silentS = 5;
        double cpu0 = CpuSeconds(tap.Pid());
        SleepUntilMono(MonoUs() + silentS * 1000000LL);
        double silentCpu = CpuSeconds(tap.Pid()) - cpu0;

        double cpu1 = CpuSeconds(tap.Pid());
        long long wall1 = MonoUs();
        Writes tapWrites = Drive(host, ctrl, exchanges);
        double busyCpu = CpuSeconds(tap.Pid()) - cpu1;
        double busyS = static_cast<double>(MonoUs() - wall1) / 1e6;
        tap.Signal(SIGINT);
        tap.Wait(10000);
        Lateness late = Match(tap.Stdout(), tapWrites);
        for (const std::string& line : late.notOk) std::printf("  not ok: %s\n", line.c_str());
        PrintLateness("  watch --tap  ", late);
        std::printf("  exchanges judged ok: %zu of %d\n", late.judgedOk, exchanges);
        std::printf("  CPU silent: %.3f s over %d s = %.2f %% of a core\n", silentCpu, silentS,
                    100.0 * silentCpu / silentS);
        std::printf("  CPU at 40 exchanges/s: %.3f s over %.1f s = %.2f %% of a core\n", busyCpu, busyS,
                    100.0 * busyCpu / busyS);
    }
    std::string command = "rm -rf '" + dir + "'";
    return system(command.c_str()) == 0 ? 0 : 1;
}
