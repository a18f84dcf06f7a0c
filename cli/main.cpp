// zantrox-cli: the console's commands from a command line, for scripts, SSH
// sessions and bug reports. Subcommands: list, send, watch, ports, map, unmap, check, run.
#include <csignal>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <CLI/CLI.hpp>

#include "cli/check/check.h"
#include "cli/send/send.h"
#ifdef _WIN32
#include "outputs/metrics_option.h"
#include "outputs/web_config_option.h"
#else
#include "outputs/metrics_output.h"
#endif
#include "cli/ports/ports.h"
#include "cli/run/runner.h"
#include "listen/tap.h"
#include "listen/watch.h"
#include "zantrox_version.h"

namespace {

// "10.00", "$10", "10" -> 1000 hundredths; -1 when it is not an amount.
long long Hundredths(std::string text) {
    if (!text.empty() && text[0] == '$') text.erase(0, 1);
    if (text.empty() || text.size() > 12) return -1;
    long long whole = 0;
    long long cents = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] != '.'; ++i) {
        if (text[i] < '0' || text[i] > '9') return -1;
        whole = whole * 10 + (text[i] - '0');
    }
    if (i < text.size()) {
        std::string fraction = text.substr(i + 1);
        if (fraction.empty() || fraction.size() > 2) return -1;
        for (char c : fraction) {
            if (c < '0' || c > '9') return -1;
        }
        cents = std::stoll(fraction) * (fraction.size() == 1 ? 10 : 1);
    }
    return whole * 100 + cents;
}

struct RawPortOptions {
    std::string preset;
};

void AddSettingOptions(CLI::App& sub, PortOptions& line, RawPortOptions& raw) {
    sub.add_option("--pump", line.pumpNumber, "pump number (default 1)")->check(CLI::Range(1, 32));
    sub.add_option("--preset", raw.preset, "preset amount, as the menu offers it: 1.00, 10.00, 100.00, 1000.00 or "
                                           "10000.00 (default 1.00)");
    sub.add_option("--price-base", line.priceBase, "price base 1199 or 1159 (default 1199)")
        ->check(CLI::IsMember({1199, 1159}));
}

void AddPortOptions(CLI::App& sub, PortOptions& line, RawPortOptions& raw) {
    sub.add_option("--port", line.port,
#ifdef _WIN32
                   "COM port: a number 1..9 or COMn, or a serial device server: rfc2217://HOST:PORT or "
                   "socket://HOST:PORT, or either inside TLS: rfc2217+tls://HOST:PORT?ca=FILE (default COM1)"
#else
                   "COM port: a number 1..9 as the console resolves it (~/.config/zantrox/comK, else "
                   "/dev/ttyS{K-1}), a device path, or a serial device server: rfc2217://HOST:PORT or "
                   "socket://HOST:PORT, or either inside TLS: rfc2217+tls://HOST:PORT?ca=FILE&cert=FILE&key=FILE&name=NAME "
                   "(default 1)"
#endif
    );
    sub.add_option("--baud", line.baudRate, "baud rate 2400, 4800, 9600 or 19200 (default 9600)")
        ->check(CLI::IsMember({2400, 4800, 9600, 19200}));
    AddSettingOptions(sub, line, raw);
    sub.add_flag("--json", line.json, "JSON Lines on stdout instead of text");
    sub.add_option("--pcapng", line.outputs.pcapng,
                   "also write what is seen on the line as a pcapng capture for Wireshark (- for stdout, e.g. "
                   "piped into 'wireshark -k -i -')")
        ->type_name("FILE");
}

// Turns the raw texts into settings; a bad value is a usage error naming the allowed ones.
bool FinishPortOptions(PortOptions& line, const RawPortOptions& raw) {
    if (!raw.preset.empty()) {
        long long amount = Hundredths(raw.preset);
        if (amount != 100 && amount != 1000 && amount != 10000 && amount != 100000 && amount != 1000000) {
            std::fprintf(stderr,
                         "zantrox-cli: --preset: %s is not an amount the menu offers; use 1.00, 10.00, 100.00, "
                         "1000.00 or 10000.00\n",
                         raw.preset.c_str());
            return false;
        }
        line.presetAmount = static_cast<int>(amount);
    }
    if (line.outputs.pcapng == "-") {
        if (line.json) {
            std::fprintf(stderr, "zantrox-cli: --pcapng - takes stdout, so --json cannot have it\n");
            return false;
        }
        // The capture is stdout; what would go there goes to stderr or nowhere.
        line.outputs.pcapng.clear();
        line.outputs.pcapngFd = 1;
        line.outputs.quiet = true;
#ifndef _WIN32
        // A reader that goes away is a failed write to report, not a silent death.
        std::signal(SIGPIPE, SIG_IGN);
#endif
    }
    std::string error;
    if (ResolvePortOption(line.port, line.comPort, line.deviceName, error) != 0) {
        std::fprintf(stderr, "zantrox-cli: %s\n", error.c_str());
        return false;
    }
    return true;
}

DeviceTree RealTree() {
    DeviceTree tree;
    const char* home = std::getenv("HOME");
    if (home != nullptr) tree.home = home;
    return tree;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Zantrox Test Utility on the command line: the console's commands for scripts, terminals and "
                 "bug reports.",
                 "zantrox-cli"};
    app.set_version_flag("--version", std::string("zantrox-cli ") + ZANTROX_VERSION);
    app.require_subcommand(1);
    app.footer(
        "Commands are named as in the console's menu: a path of labels joined by '/' ('Pump/Sale/Read', "
        "'PUMP#/7'; case, spaces and '&' do not count), a menu id (32873) or a hot key (key:S).\n"
        "Exit status: 0 all transactions OK (run: every step passed), 1 some failed, 2 usage error (nothing sent), "
        "3 the port could not be opened.\n");

    PortOptions listOptions;
    RawPortOptions listRaw;
    CLI::App* list = app.add_subcommand("list", "every command with the texts it would send");
    AddSettingOptions(*list, listOptions, listRaw);
    list->add_flag("--json", listOptions.json, "JSON Lines: one object a command, then the hot keys");

    SendOptions send;
    RawPortOptions sendRaw;
    CLI::App* sendCommand = app.add_subcommand("send", "run commands in order, one transaction per message");
    AddPortOptions(*sendCommand, send.line, sendRaw);
    sendCommand->add_option("--repeat", send.repeat, "run the list N times (default 1)")->check(CLI::Range(1, 1000000));
    sendCommand->add_option("--interval", send.intervalMs, "pause between transactions in ms (default 250)")
        ->check(CLI::Range(0, 3600000));
    sendCommand->add_flag("--yes", send.yes, "send commands the console confirms with \"ARE YOU SURE?\"");
    sendCommand->add_option("CMD", send.commands,
                            "commands: menu paths, menu ids, key:X, or a message text as it stands: text:TEXT (no "
                            "reply) or text+:TEXT (a reply)")
        ->required();

    PortOptions watchOptions;
    RawPortOptions watchRaw;
    CLI::App* watch = app.add_subcommand("watch", "listen without sending and show every frame; Ctrl+C ends");
    AddPortOptions(*watch, watchOptions, watchRaw);
    std::vector<std::string> tapPorts;
    TapOptions tap;
    double watchDuration = 0;
    watch->add_option("--tap", tapPorts,
                      "listen on a passive tap: HOST_PORT hears the host, CONTROLLER_PORT the controller (any form "
                      "--port takes); pairs requests with answers and judges them")
        ->expected(2)
        ->type_name("HOST_PORT CONTROLLER_PORT");
    watch->add_option("--duration", watchDuration, "stop after SECONDS (default: at Ctrl+C)")
        ->check(CLI::Range(0.001, 31536000.0));
    watch->add_option("--report", tap.reportPath,
                      "with --tap or --from: write an HTML report of the exchanges at the end");
    std::string watchMetrics;
    watch->add_option("--metrics", watchMetrics,
                      "serve the link's health to Prometheus at http://ADDRESS:PORT/metrics while listening (Linux; "
                      "ADDRESS defaults to 127.0.0.1)")
        ->type_name("[ADDRESS:]PORT");
    std::string watchWebConfig;
    watch->add_option("--web-config", watchWebConfig,
                      "with --metrics: TLS, users (bcrypt hashes) and headers for the endpoint, in the YAML form "
                      "Prometheus exporters take with --web.config.file (Linux)")
        ->type_name("FILE");
    std::string watchFrom;
    watch->add_option("--from", watchFrom,
                      "read a capture (pcapng, as --pcapng writes it) instead of a line: its pieces are judged, "
                      "summed up and reported as if heard live")
        ->type_name("FILE.pcapng");

    bool portsJson = false;
    CLI::App* ports = app.add_subcommand("ports", "COM1..COM9 as the console resolves them, and the serial devices");
    ports->add_flag("--json", portsJson, "JSON Lines");

    int mapPort = 0;
    std::string mapDevice;
    MapChoices mapChoices;
    CLI::App* map = app.add_subcommand("map", "make ~/.config/zantrox/comK a link to DEVICE (Linux)");
    map->add_option("K", mapPort, "COM port number 1..9")->required()->check(CLI::Range(1, 9));
    map->add_option("DEVICE", mapDevice, "the serial device, e.g. /dev/ttyUSB0, or a device server's rfc2217://HOST:PORT or socket://HOST:PORT "
                                 "(+tls: rfc2217+tls://HOST:PORT?ca=FILE)")->required();
    map->add_flag("--force", mapChoices.allowMissing, "link DEVICE even though it is not there (an adapter to plug in later)");
    map->add_flag("--replace", mapChoices.replace, "replace a file or an empty folder at comK (a link is always replaced)");

    int unmapPort = 0;
    bool unmapForce = false;
    CLI::App* unmap = app.add_subcommand("unmap", "remove ~/.config/zantrox/comK (Linux)");
    unmap->add_option("K", unmapPort, "COM port number 1..9")->required()->check(CLI::Range(1, 9));
    unmap->add_flag("--force", unmapForce, "remove it even when it is not a link");

    CheckOptions check;
    RawPortOptions checkRaw;
    CLI::App* checkCommand =
        app.add_subcommand("check", "every read-only request for each pump, round after round, and an HTML report");
    AddPortOptions(*checkCommand, check.line, checkRaw);
    std::string checkPumps = "1";
    checkCommand->add_option("--pumps", checkPumps, "pumps: a list and ranges, e.g. 1-4,7 (default 1)");
    checkCommand->add_option("--rounds", check.rounds, "rounds (default 3)")->check(CLI::Range(1, 100000));
    checkCommand->add_option("--interval", check.intervalMs, "pause between transactions in ms (default 250)")
        ->check(CLI::Range(0, 3600000));
    checkCommand->add_option("--report", check.reportPath,
                             "the HTML report (default zantrox-check-<date>-<time>.html here)");

    RunOptions runOptions;
    RawPortOptions runRaw;
    CLI::App* runCommand = app.add_subcommand(
        "run", "acceptance runs: each file's steps (TOML) in order on one port, each judged; a JUnit file for CI");
    runCommand->add_option("FILE", runOptions.files, "run files (TOML, see the README)")->required();
    std::string runPort;
    int runPump = 0, runBaud = 0;
    runCommand->add_option("--port", runPort, "the port, over the files' own (any form send's --port takes)");
    runCommand->add_option("--baud", runBaud, "baud rate, over the files' own")->check(CLI::IsMember({2400, 4800, 9600, 19200}));
    runCommand->add_option("--pump", runPump, "pump number, over the files' own (a step's own pump still wins)")
        ->check(CLI::Range(1, 32));
    runCommand->add_option("--junit", runOptions.junitPath, "write the results as JUnit XML for CI");
    runCommand->add_option("--report", runOptions.reportPath, "write check's HTML report, with the steps on top");
    runCommand->add_flag("--json", runOptions.line.json, "JSON Lines: each transaction in send's shape and each step");
    runCommand->add_option("--pcapng", runOptions.line.outputs.pcapng, "also write a pcapng capture for Wireshark")
        ->type_name("FILE");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? EXIT_ALL_OK : EXIT_USAGE;
    }

    if (list->parsed()) {
        if (!FinishPortOptions(listOptions, listRaw)) return EXIT_USAGE;
        return RunList(listOptions, listOptions.json);
    }
    if (sendCommand->parsed()) {
        if (!FinishPortOptions(send.line, sendRaw)) return EXIT_USAGE;
        return RunSend(send);
    }
    if (watch->parsed()) {
        if (!FinishPortOptions(watchOptions, watchRaw)) return EXIT_USAGE;
        if (!watchFrom.empty()) {
            if (!watchOptions.port.empty() || !tapPorts.empty() || watchDuration > 0 || !watchMetrics.empty() || !watchWebConfig.empty()) {
                std::fprintf(stderr, "zantrox-cli: watch: --from reads a file: --port, --tap, --duration, --metrics and --web-config do not go with it\n");
                return EXIT_USAGE;
            }
            tap.line = watchOptions;
            return RunWatchFrom(tap, watchFrom);
        }
#ifdef _WIN32
        if (!watchMetrics.empty()) return RefuseMetricsOption(watchMetrics);
        if (!watchWebConfig.empty()) return RefuseWebConfigOption(watchWebConfig);
#else
        WebConfig webConfig;
        if (!watchWebConfig.empty()) {
            std::string error;
            if (watchMetrics.empty()) {
                std::fprintf(stderr, "zantrox-cli: watch: --web-config goes with --metrics\n");
                return EXIT_USAGE;
            }
            if (!LoadWebConfig(watchWebConfig, webConfig, error)) {
                std::fprintf(stderr, "zantrox-cli: --web-config %s: %s\n", watchWebConfig.c_str(), error.c_str());
                return EXIT_USAGE;
            }
        }
        std::unique_ptr<MetricsOutput> metrics;
        if (!watchMetrics.empty()) {
            std::vector<std::string> labels = {"host", "ctrl"};
            if (tapPorts.empty()) labels = {watchOptions.port.empty() ? "COM1" : watchOptions.port};
            metrics.reset(new MetricsOutput(labels, ZANTROX_VERSION));
            std::string error;
            const bool started = watchWebConfig.empty() ? metrics->Start(watchMetrics, error)
                                                        : metrics->Start(watchMetrics, webConfig, error);
            if (!started) {
                std::fprintf(stderr, "zantrox-cli: --metrics %s: %s\n", watchMetrics.c_str(), error.c_str());
                return EXIT_USAGE;
            }
            watchOptions.outputs.more.push_back(metrics.get());
        }
#endif
        if (!tapPorts.empty()) {
            if (!watchOptions.port.empty()) {
                std::fprintf(stderr, "zantrox-cli: watch: give either --port or --tap, not both\n");
                return EXIT_USAGE;
            }
            tap.line = watchOptions;
            tap.hostPort = tapPorts[0];
            tap.ctrlPort = tapPorts[1];
            tap.durationS = watchDuration;
            return RunTapWatch(tap);
        }
        if (!tap.reportPath.empty()) {
            std::fprintf(stderr, "zantrox-cli: watch: --report goes with --tap or --from\n");
            return EXIT_USAGE;
        }
        return RunWatch(watchOptions, watchDuration);
    }
    if (runCommand->parsed()) {
        if (!runPort.empty()) runOptions.overrides.port = runPort;
        if (runPump > 0) runOptions.overrides.pump = runPump;
        if (runBaud > 0) runOptions.overrides.baud = runBaud;
        if (!FinishPortOptions(runOptions.line, runRaw)) return EXIT_USAGE;
        return RunRun(runOptions);
    }
    if (ports->parsed()) return RunPorts(RealTree(), portsJson, stdout, stderr);
    if (map->parsed()) return RunMap(RealTree(), mapPort, mapDevice, mapChoices, stdout, stderr);
    if (unmap->parsed()) return RunUnmap(RealTree(), unmapPort, unmapForce, stdout, stderr);
    if (checkCommand->parsed()) {
        if (!FinishPortOptions(check.line, checkRaw)) return EXIT_USAGE;
        std::string error;
        if (!ParsePumpList(checkPumps, check.pumps, error)) {
            std::fprintf(stderr, "zantrox-cli: --pumps: %s\n", error.c_str());
            return EXIT_USAGE;
        }
        return RunCheck(check);
    }
    return EXIT_USAGE;
}
