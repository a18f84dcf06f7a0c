// Test support: a program run as a child process, its stdout and stderr going to
// files in a folder, with HOME and the working folder there too.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

class Child {
public:
    ~Child();  // kills it when still running
    // The address space the child may take, in bytes (0: no limit of ours); before Start.
    void LimitAddressSpace(rlim_t bytes) { limit_ = bytes; }
    bool Start(const std::vector<std::string>& argv, const std::string& dir, const std::string& name);
    // The exit status (128 + signal when killed by one), or -1 when it did not end
    // within `totalMs` (it is then killed).
    int Wait(int totalMs);
    void Signal(int sig);
    pid_t Pid() const { return pid_; }
    std::string Stdout() const;
    std::string Stderr() const;

private:
    rlim_t limit_ = 0;
    pid_t pid_ = -1;
    std::string out_;
    std::string err_;
};

}  // namespace testsupport
