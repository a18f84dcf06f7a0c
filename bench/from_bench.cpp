// Reading a long capture back: EXCHANGES made-up tap exchanges (a host frame, the
// ACK, the reply, 25 ms apart; pumps and commands mixed, one in 50 with no ACK)
// written with the pcapng writer, then `zantrox-cli watch --from` on it RUNS times
// (text on stdout, thrown away), each run's wall time from start to exit.
//
//   from_bench ZANTROX_CLI [EXCHANGES] [RUNS]
//
// FROM_BENCH_KEEP=1 keeps the capture (its path is printed) to time by other means.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "capture/pcapng_writer.h"
#include "link/frame.h"
#include "link/frame_splitter.h"
#include "tests/support/pty_peer.h"

namespace {

double MonoS() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

CapturePiece Piece(int dir, int kind, std::vector<unsigned char> bytes, long long firstUs) {
    CapturePiece p;
    p.line = dir;
    p.dir = dir;
    p.kind = kind;
    p.bytes = std::move(bytes);
    p.firstUs = firstUs;
    p.lastUs = firstUs + static_cast<long long>(p.bytes.size() - 1) * 1042;  // 9600 baud
    return p;
}

// `argv` with stdout and stderr to /dev/null; its exit status.
int Run(const std::vector<std::string>& argv) {
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: from_bench ZANTROX_CLI [EXCHANGES] [RUNS]\n");
        return 2;
    }
    const std::string cli = argv[1];
    const int total = argc > 2 ? std::atoi(argv[2]) : 100000;
    const int runs = argc > 3 ? std::atoi(argv[3]) : 5;
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/zantrox-capture-bench-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) return 1;
    const std::string dir = name.data();
    const std::string path = dir + "/long.pcapng";

    PcapngWriter writer;
    if (writer.Create(path, {"/dev/ttyUSB0", "/dev/ttyUSB1"}, "from_bench") != CAPTURE_OK) {
        std::fprintf(stderr, "from_bench: %s\n", writer.Error().c_str());
        return 1;
    }
    const std::vector<unsigned char> ack{ACK};
    long long t = 1796800000LL * 1000000;  // December 2026, on the calendar
    for (int i = 1; i <= total; ++i) {
        const int pump = 1 + i % 32;
        char request[32], reply[32];
        if (i % 2 == 0) {
            std::snprintf(request, sizeof request, "B%02dR", pump);
            std::snprintf(reply, sizeof reply, "B%02dR011111001332", pump);
        } else {
            std::snprintf(request, sizeof request, "J%02d1R", pump);
            std::snprintf(reply, sizeof reply, "J%02d1001199001099", pump);
        }
        CapturePiece host = Piece(TAP_HOST, SPLIT_FRAME, testsupport::Frame(request), t);
        int result = writer.Write(host);
        if (i % 50 != 0) {
            result |= writer.Write(Piece(TAP_CTRL, SPLIT_ACK, ack, host.lastUs + 300));
            result |= writer.Write(Piece(TAP_CTRL, SPLIT_FRAME, testsupport::Frame(reply), host.lastUs + 2000));
        }
        if (result != CAPTURE_OK) {
            std::fprintf(stderr, "from_bench: %s\n", writer.Error().c_str());
            return 1;
        }
        t += 25000;
    }
    if (writer.Finish() != CAPTURE_OK) {
        std::fprintf(stderr, "from_bench: %s\n", writer.Error().c_str());
        return 1;
    }
    struct stat info;
    stat(path.c_str(), &info);
    std::printf("capture: %d exchanges, %.1f MB\n", total, static_cast<double>(info.st_size) / 1e6);

    const std::vector<std::vector<std::string>> forms = {{cli, "watch", "--from", path},
                                                         {cli, "watch", "--from", path, "--json"}};
    for (const std::vector<std::string>& form : forms) {
        std::vector<double> s;
        int status = 0;
        for (int r = 0; r < runs; ++r) {
            double start = MonoS();
            status |= Run(form);
            s.push_back(MonoS() - start);
        }
        std::sort(s.begin(), s.end());
        std::printf("watch --from%s: %d runs, wall min %.3f s, median %.3f s, max %.3f s (exit %d)\n",
                    form.size() > 4 ? " --json" : "", runs, s.front(), s[s.size() / 2], s.back(), status);
    }
    if (std::getenv("FROM_BENCH_KEEP") != nullptr) {
        std::printf("kept: %s\n", path.c_str());
        return 0;
    }
    std::string command = "rm -rf '" + dir + "'";
    return system(command.c_str()) == 0 ? 0 : 1;
}
