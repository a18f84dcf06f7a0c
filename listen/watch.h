// watch: listens on one line, never writing a byte to it, and shows each piece
// heard.
#pragma once

#include "listen/port_options.h"

// Listens until Ctrl+C, or for `durationS` seconds when that is above 0.
int RunWatch(const PortOptions& options, double durationS);
