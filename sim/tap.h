// The simulator's tap: two more pseudo-terminals on which it repeats every byte
// it receives (the host side) and every byte it sends (the controller side) the
// moment it reads or writes them, so `zantrox-cli watch --tap` can listen with no
// hardware. A tap nobody reads does not hold stale bytes for whoever opens it later.
#pragma once

enum { TAP_SIDE_HOST = 0, TAP_SIDE_CTRL = 1 };

// Opens both terminals and links them at `hostLink` and `ctrlLink`. Returns 0, or
// -1 with nothing left open and a reason in `error`.
int OpenTaps(const char* hostLink, const char* ctrlLink, char* error, int errorSize);
// Repeats `length` bytes on side `side`; nothing when the taps are not open.
void TapRepeat(int side, const unsigned char* bytes, int length);
// Removes the links and closes the terminals.
void CloseTaps();
