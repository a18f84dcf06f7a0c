// The simulator's pseudo-terminal and the link that names it as a COM port.
#pragma once

#include <termios.h>

enum {
    SIM_PATH_BYTES = 512,
    LINK_OK = 0,
    LINK_REFUSED = 1,  // something that is not ours is in the way
    LINK_FAILED = -1,  // the OS said no
};

// Opens a pseudo-terminal pair: the master non-blocking, the slave opened once and
// set raw at once. Returns 0 with both descriptors and the slave's path, or -1 with
// nothing left open and a reason in `error`.
int OpenTerminal(int& master, int& slave, char* name, int nameSize, char* error, int errorSize);

// Sets a terminal raw: 8 bits, no echo, no canonical input, no signals, no input
// or output processing, no XON/XOFF. Returns 0 or -1.
int SetRaw(int fd);

// Sets the terminal's baud rate (a termios speed), as a console would. Returns 0 or -1.
int SetSpeed(int fd, speed_t speed);

// The default link of COM port k: <home>/.config/zantrox/comK, creating the folders
// as needed. Returns 0, or -1 with a reason in `error`.
int DefaultLinkPath(const char* home, int k, char* out, int outSize, char* error, int errorSize);

// Makes `link` a symbolic link to `target`. Refuses anything already at `link`,
// except a dangling link into /dev/pts/ (left by a simulator that was killed), which
// is replaced. Returns LINK_OK, LINK_REFUSED or LINK_FAILED, with a reason in `error`.
int CreateLink(const char* link, const char* target, char* error, int errorSize);

// Removes `link` when it is still a symbolic link to `target`. Returns 1 when removed.
int RemoveOwnLink(const char* link, const char* target);
