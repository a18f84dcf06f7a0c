// The serial line between the console and the simulated controller: how long a
// byte takes at a baud rate, and what a UART set to one rate makes of bytes sent
// at another. Pure logic, no I/O.
#pragma once

#include <termios.h>

enum {
    LINE_BITS_PER_BYTE = 10,  // start bit, 8 data bits, stop bit
    LINE_DEFAULT_BAUD = 9600,
};

// The rate a termios speed stands for (B9600 -> 9600), or 0 when it is not one of
// the usual serial rates.
int BaudOfSpeed(speed_t speed);

// The termios speed of a usual serial rate (9600 -> B9600), or B0 when there is none.
speed_t SpeedOfBaud(int baud);

// Microseconds one byte takes on the line at `baud` (10 bit-times).
long long ByteMicros(int baud);

// What a receiver at `receiverBaud` reads when one byte is sent at `senderBaud`:
// it samples the middle of each of its own bit-times from the start bit on, so
// rates that differ give garbage (the same byte when they agree). A frame whose
// stop bit reads as 0 is a framing error, read as 0x00. Garbage never comes out
// as STX, ETX or ACK, so a mismatched line can never pass for an answer.
unsigned char HeardByte(unsigned char byte, int senderBaud, int receiverBaud);
