// --web-config where it cannot be served: the Windows build has no metrics
// endpoint, so the option is refused there in words, as --metrics is.
#pragma once

#include <string>

// Says on stderr that --web-config (given as `value`) goes with the Linux build's
// --metrics, and returns EXIT_USAGE.
int RefuseWebConfigOption(const std::string& value);
