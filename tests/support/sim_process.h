// Test and benchmark support: the simulator as a child process on its own
// pseudo-terminal, with no COM link.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

// Starts zantrox-sim at `simPath` with --no-link and waits for its ready line.
// Returns its pid with the terminal's path in `pty`, or -1.
// `extra` options follow --no-link.
pid_t StartSimulatorNoLink(const char* simPath, std::string& pty, const std::vector<std::string>& extra = {});

}  // namespace testsupport
