#include "tests/support/child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/support/files.h"
#include "tests/support/pty_peer.h"

namespace testsupport {

Child::~Child() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool Child::Start(const std::vector<std::string>& argv, const std::string& dir, const std::string& name) {
    out_ = dir + "/" + name + ".out";
    err_ = dir + "/" + name + ".err";
    pid_ = fork();
    if (pid_ == 0) {
        if (limit_ > 0) {
            struct rlimit limit = {limit_, limit_};
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(125);
        }
        setenv("HOME", dir.c_str(), 1);
        if (chdir(dir.c_str()) != 0) _exit(126);
        int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        // Nothing else of the test's: a pseudo-terminal's master kept open here
        // would keep its line from ever hanging up.
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid_ > 0;
}

int Child::Wait(int totalMs) {
    int status = 0;
    bool ended = WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, totalMs);
    if (!ended) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void Child::Signal(int sig) { kill(pid_, sig); }

std::string Child::Stdout() const { return ReadWholeFile(out_); }

std::string Child::Stderr() const { return ReadWholeFile(err_); }

}  // namespace testsupport
