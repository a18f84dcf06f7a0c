// Test and benchmark support: the simulator as a child process on its own
// pseudo-terminal, with no COM link.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

class Child;

// Starts zantrox-sim at `simPath` with --no-link and waits for its ready line.
// Returns its pid with the terminal's path in `pty`, or -1.
// `extra` options follow --no-link.
pid_t StartSimulatorNoLink(const char* simPath, std::string& pty, const std::vector<std::string>& extra = {});

// The same as `child` (its output in NAME.out and NAME.err in `dir`, HOME there),
// killed with it. Waits for the ready line; false when none came.
bool StartSimulatorChild(Child& child, const char* simPath, const std::string& dir, const std::string& name,
                         const std::vector<std::string>& extra, std::string& pty);

}  // namespace testsupport
