// --metrics where it cannot be served: the Windows build has no Prometheus
// client library, so the option is refused there in words rather than hidden.
#pragma once

#include <string>

// Says on stderr that --metrics (given as `value`) is a Linux feature, and returns
// EXIT_USAGE: nothing is sent or listened to.
int RefuseMetricsOption(const std::string& value);
