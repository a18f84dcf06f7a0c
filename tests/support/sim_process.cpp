#include "tests/support/sim_process.h"

#include <stdio.h>
#include <unistd.h>

#include "tests/support/child.h"
#include "tests/support/pty_peer.h"

namespace testsupport {

pid_t StartSimulatorNoLink(const char* simPath, std::string& pty, const std::vector<std::string>& extra) {
    std::vector<std::string> strings = {simPath, "--no-link"};
    strings.insert(strings.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& a : strings) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execv(simPath, argv.data());
        _exit(127);
    }
    close(out[1]);
    if (pid < 0) {
        close(out[0]);
        return -1;
    }
    std::string line;
    char c = 0;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    char name[256];
    if (sscanf(line.c_str(), "zantrox-sim: ready %255s", name) != 1) return -1;
    pty = name;
    return pid;
}

bool StartSimulatorChild(Child& child, const char* simPath, const std::string& dir, const std::string& name,
                         const std::vector<std::string>& extra, std::string& pty) {
    std::vector<std::string> args = {simPath, "--no-link"};
    args.insert(args.end(), extra.begin(), extra.end());
    // A simulator before this one may have left its ready line there.
    unlink((dir + "/" + name + ".out").c_str());
    if (!child.Start(args, dir, name)) return false;
    if (!WaitUntil([&] { return child.Stdout().find('\n') != std::string::npos; }, 20000)) return false;
    char path[256];
    if (sscanf(child.Stdout().c_str(), "zantrox-sim: ready %255s", path) != 1) return false;
    pty = path;
    return true;
}

}  // namespace testsupport
