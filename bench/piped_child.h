// Benchmark support: a program run with its stdout on a pipe, the clock, and a
// number read out of a JSON line; for the benchmarks that time zantrox-cli whole.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace benchsupport {

inline double NowMs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

struct Child {
    pid_t pid = -1;
    int out = -1;  // its stdout
};

inline Child Start(const std::vector<std::string>& args) {
    int pipeFds[2];
    Child child;
    if (pipe(pipeFds) != 0) return child;
    child.pid = fork();
    if (child.pid == 0) {
        dup2(pipeFds[1], 1);
        int devNull = open("/dev/null", O_WRONLY);
        if (devNull >= 0) dup2(devNull, 2);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    child.out = pipeFds[0];
    return child;
}

inline std::string ReadAll(int fd) {
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
    close(fd);
    return text;
}

inline int Wait(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One number out of a JSON line: "key":value.
inline double Field(const std::string& line, const char* key) {
    std::string pattern = std::string("\"") + key + "\":";
    size_t at = line.find(pattern);
    return at == std::string::npos ? -1 : std::atof(line.c_str() + at + pattern.size());
}

}  // namespace benchsupport
