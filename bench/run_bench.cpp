// zantrox-cli run next to send, as whole processes:
//   1. a 200-step run file against zantrox-sim --instant and `send --interval 0`
//      with the same 200 commands, in turns on the same simulator: the wall time a
//      step costs beyond send's, and the same with each side's own transaction
//      times (drain included) taken out, which holds their jitter; as text, and as
//      --json where the times are not rounded;
//   2. process start to the frame's first byte on a pseudo-terminal played here,
//      less the drain window the transaction waits first, for a one-step run file
//      and for send with the same command, in turns.
// Usage: run_bench ZANTROX_CLI ZANTROX_SIM [pairs, default 5] [starts, default 20]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "link/frame.h"
#include "tests/support/sim_process.h"

#include "bench/answering_line.h"
#include "bench/piped_child.h"

using benchsupport::Child;
using benchsupport::Line;
using benchsupport::NowMs;
using benchsupport::ReadAll;
using benchsupport::Start;
using benchsupport::Wait;

namespace {

const int STEPS = 200;


// Every value of "key": in the JSON lines, in order.
std::vector<double> Fields(const std::string& text, const char* key) {
    std::vector<double> values;
    std::string pattern = std::string("\"") + key + "\":";
    for (size_t at = text.find(pattern); at != std::string::npos; at = text.find(pattern, at + 1)) {
        values.push_back(std::atof(text.c_str() + at + pattern.size()));
    }
    return values;
}

// The number before " ms" on each line that starts with `prefix`: the last one on
// the line (run's step line ends with the step's time) or the first (send's
// "reply OK  101.5 ms (ACK ...)").
std::vector<double> TextMs(const std::string& text, const char* prefix, bool last) {
    std::vector<double> values;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.rfind(prefix, 0) != 0) continue;
        size_t ms = last ? line.rfind(" ms") : line.find(" ms");
        if (ms == std::string::npos) continue;
        size_t number = line.rfind(' ', ms - 1);
        values.push_back(std::atof(line.c_str() + number + 1));
    }
    return values;
}

double Sum(const std::vector<double>& v) {
    double s = 0;
    for (double x : v) s += x;
    return s;
}

void Report(const char* what, std::vector<double> v, const char* unit) {
    if (v.empty()) {
        std::printf("%-58s no data\n", what);
        return;
    }
    std::sort(v.begin(), v.end());
    double median = v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    std::printf("%-58s min %8.3f  median %8.3f  max %8.3f %s  (n=%zu)\n", what, v.front(), median, v.back(), unit,
                v.size());
}

// One whole process: its wall time, exit status and stdout.
struct Timed {
    double ms = 0;
    int status = -1;
    std::string out;
};

Timed TimeProcess(const std::vector<std::string>& args) {
    Timed t;
    double t0 = NowMs();
    Child child = Start(args);
    t.out = ReadAll(child.out);
    t.status = Wait(child.pid);
    t.ms = NowMs() - t0;
    return t;
}

// Read-only commands with replies, so every step is judged on a reply pattern.
struct Command {
    const char* send;
    const char* reply;
};
const Command COMMANDS[] = {
    {"key:S", "[IAS]{32}"},
    {"Pump/Sale/Read", "B01R[0-9]{12}"},
    {"Pump/Prices/READ", "J011[0-9]{12}"},
    {"Pump/ERROR/READ", "ES[0-9]{2}(P[0-9]{2}E[0-9]{3})*"},
};

void PerStepOverhead(const std::string& cli, const std::string& sim, int pairs) {
    std::string pty;
    pid_t simPid = testsupport::StartSimulatorNoLink(sim.c_str(), pty, {"--instant"});
    if (simPid < 0) {
        std::fprintf(stderr, "zantrox-sim did not start\n");
        return;
    }
    char folder[] = "/tmp/zantrox-run-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) return;
    const std::string file = std::string(folder) + "/steps.toml";
    std::vector<std::string> send = {cli, "send", "--port", pty, "--interval", "0"};
    {
        std::ofstream toml(file);
        toml << "name = \"200 steps\"\n";
        for (int i = 0; i < STEPS; ++i) {
            const Command& c = COMMANDS[i % 4];
            toml << "\n[[step]]\nname = \"step " << i + 1 << "\"\nsend = \"" << c.send << "\"\nreply = '" << c.reply
                 << "'\n";
            send.push_back(c.send);
        }
    }
    const std::vector<std::string> run = {cli, "run", file, "--port", pty};

    std::vector<double> wallRun, wallSend, perStep, perStepBeyondText, beyondRun, beyondSend, perStepBeyond;
    for (int i = 0; i < pairs; ++i) {
        // Text output, as a person runs them.
        Timed r = TimeProcess(run);
        Timed s = TimeProcess(send);
        if (r.status != 0 || s.status != 0) {
            std::fprintf(stderr, "pair %d: run exit %d, send exit %d\n", i, r.status, s.status);
            continue;
        }
        wallRun.push_back(r.ms / 1000);
        wallSend.push_back(s.ms / 1000);
        perStep.push_back((r.ms - s.ms) / STEPS);
        std::vector<double> rt = TextMs(r.out, "PASS ", true), st = TextMs(s.out, "reply ", false);
        if (rt.size() == STEPS && st.size() == STEPS) {
            perStepBeyondText.push_back(((r.ms - Sum(rt)) - (s.ms - Sum(st))) / STEPS);
        }

        // --json: each transaction's own time, so its jitter comes out of the difference.
        std::vector<std::string> runJson = run, sendJson = send;
        runJson.push_back("--json");
        sendJson.push_back("--json");
        Timed rj = TimeProcess(runJson);
        Timed sj = TimeProcess(sendJson);
        std::vector<double> rms = Fields(rj.out, "ms"), sms = Fields(sj.out, "ms");
        if (rj.status != 0 || sj.status != 0 || rms.size() != STEPS || sms.size() != STEPS) {
            std::fprintf(stderr, "pair %d, --json: run exit %d (%zu transactions), send exit %d (%zu)\n", i, rj.status,
                         rms.size(), sj.status, sms.size());
            continue;
        }
        double br = rj.ms - Sum(rms), bs = sj.ms - Sum(sms);
        beyondRun.push_back(br / STEPS);
        beyondSend.push_back(bs / STEPS);
        perStepBeyond.push_back((br - bs) / STEPS);
    }
    kill(simPid, SIGTERM);
    waitpid(simPid, nullptr, 0);
    unlink(file.c_str());
    rmdir(folder);

    std::printf("%d steps on zantrox-sim --instant, %d pairs, run and send in turns\n", STEPS, pairs);
    Report("run, whole process (text)", wallRun, "s ");
    Report("send --interval 0, whole process (text)", wallSend, "s ");
    Report("run less send, a step (text)", perStep, "ms");
    Report("run less send beyond the transactions, a step (text)", perStepBeyondText, "ms");
    Report("run beyond its transactions, a step (--json)", beyondRun, "ms");
    Report("send beyond its transactions, a step (--json)", beyondSend, "ms");
    Report("run less send beyond the transactions, a step (--json)", perStepBeyond, "ms");
}


// Start to the first frame byte less the drain, or -1.
double StartToFirstByte(const std::string& cli, const std::vector<std::string>& args, double& drain) {
    Line line;
    if (!line.Open()) return -1;
    std::vector<std::string> argv = {cli};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("--port");
    argv.push_back(line.slave);
    double t0 = NowMs();
    Child child = Start(argv);
    line.Serve(child.pid, t0 + 5000);
    std::string out = ReadAll(child.out);
    int status = Wait(child.pid);
    close(line.master);
    std::vector<double> drains = Fields(out, "drain_ms");
    if (status != 0 || line.frameStarts.empty() || drains.empty()) {
        std::fprintf(stderr, "%s: exit %d\n", args[0].c_str(), status);
        return -1;
    }
    drain = drains[0];
    return line.frameStarts[0] - t0 - drain;
}

void FirstByte(const std::string& cli, int starts) {
    char folder[] = "/tmp/zantrox-run-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) return;
    const std::string file = std::string(folder) + "/one.toml";
    std::ofstream(file) << "[[step]]\nsend = \"key:S\"\nreply = '[IAS]{32}'\n";
    std::vector<double> run, send, difference, drains;
    for (int i = 0; i < starts; ++i) {
        double drainRun = 0, drainSend = 0;
        double r = StartToFirstByte(cli, {"run", file, "--json"}, drainRun);
        double s = StartToFirstByte(cli, {"send", "--json", "key:S"}, drainSend);
        if (r < 0 || s < 0) continue;
        run.push_back(r);
        send.push_back(s);
        difference.push_back(r - s);
        drains.push_back(drainRun);
        drains.push_back(drainSend);
    }
    unlink(file.c_str());
    rmdir(folder);
    std::printf("start to the first frame byte, a one-step file and send key:S, %d pairs in turns\n", starts);
    Report("drain window (drain_ms, both)", drains, "ms");
    Report("run: start to first byte, less the drain", run, "ms");
    Report("send: start to first byte, less the drain", send, "ms");
    Report("run less send, pair by pair", difference, "ms");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: run_bench ZANTROX_CLI ZANTROX_SIM [pairs] [starts]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    int pairs = argc > 3 ? std::atoi(argv[3]) : 5;
    int starts = argc > 4 ? std::atoi(argv[4]) : 20;
    FirstByte(argv[1], starts);
    PerStepOverhead(argv[1], argv[2], pairs);
    return 0;
}
