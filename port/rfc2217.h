// The client side of Telnet with the serial port control option (COM-PORT-OPTION,
// RFC 2217), as a byte-stream state machine: it takes the bytes a server sends one
// at a time, hands back the line's data bytes, answers option negotiation itself
// and keeps what the server notified. What it wants sent (answers, line settings,
// modem lines) gathers in `out` until the socket code sends it. Portable; fixed
// buffers; no platform headers.
#pragma once

#include "port/device.h"

enum TelnetByte {
    TELNET_SE = 240,
    TELNET_SB = 250,
    TELNET_WILL = 251,
    TELNET_WONT = 252,
    TELNET_DO = 253,
    TELNET_DONT = 254,
    TELNET_IAC = 255,
    TELNET_BINARY = 0,
    TELNET_ECHO = 1,
    TELNET_SGA = 3,
    TELNET_COM_PORT = 44,
};

// Commands inside IAC SB COM-PORT-OPTION ... IAC SE, as the client sends them;
// the server answers with the same code + 100.
enum ComPortCommand {
    COM_SET_BAUDRATE = 1,
    COM_SET_DATASIZE = 2,
    COM_SET_PARITY = 3,
    COM_SET_STOPSIZE = 4,
    COM_SET_CONTROL = 5,
    COM_NOTIFY_LINESTATE = 6,
    COM_NOTIFY_MODEMSTATE = 7,
    COM_FLOWCONTROL_SUSPEND = 8,
    COM_FLOWCONTROL_RESUME = 9,
    COM_SERVER_OFFSET = 100,
};

// SET-CONTROL values the console uses.
enum ComPortControl {
    COM_CONTROL_NO_FLOW_OUT = 1,
    COM_CONTROL_DTR_ON = 8,
    COM_CONTROL_RTS_ON = 11,
    COM_CONTROL_RTS_OFF = 12,
    COM_CONTROL_NO_FLOW_IN = 14,
};

enum ComPortState {
    COM_PORT_PENDING = 0,   // the server has not answered our WILL COM-PORT-OPTION yet
    COM_PORT_ACCEPTED = 1,  // DO COM-PORT-OPTION
    COM_PORT_REFUSED = -1,  // DONT COM-PORT-OPTION: not a serial port server
};

enum {
    RFC2217_OUT_BYTES = 512,  // more than the answers to one received block of 256 bytes
    RFC2217_SB_BYTES = 16,    // every answer the console reads fits; longer ones are cut
    RFC2217_OPTIONS = 3,      // BINARY, SGA, COM-PORT-OPTION
};

struct Rfc2217 {
    int parse;                                 // where the parser is within a command
    int verb;                                  // WILL/WONT/DO/DONT awaiting its option
    unsigned char ours[RFC2217_OPTIONS];       // our side of each option: no, asked, yes
    unsigned char theirs[RFC2217_OPTIONS];     // the server's side (COM-PORT-OPTION unused)
    unsigned char sb[RFC2217_SB_BYTES];
    int sbLength;
    unsigned char out[RFC2217_OUT_BYTES];
    int outLength;
    int dropped;        // bytes that did not fit in `out` (a server flooding requests)
    int comPort;        // a ComPortState
    long baudAnswer;    // the rate the server reported for SET-BAUDRATE, -1 before
    int suspended;      // 1 between FLOWCONTROL-SUSPEND and FLOWCONTROL-RESUME
    int lineState;      // the last NOTIFY-LINESTATE, -1 before
    int modemState;     // the last NOTIFY-MODEMSTATE, -1 before
};

// Starts a connection: empties everything and queues our offers (WILL and DO
// BINARY, WILL and DO SGA, WILL COM-PORT-OPTION).
void Rfc2217Start(Rfc2217& codec);

// Takes one byte from the server. Returns 1 with a data byte of the line in *data,
// else 0 (the byte belonged to a Telnet command).
int Rfc2217Input(Rfc2217& codec, unsigned char byte, unsigned char* data);

// Queues the line settings (baud rate, data bits, parity, stop bits) and no flow
// control either way.
void Rfc2217QueueLine(Rfc2217& codec, const LineSettings& line);

// Queues SET-BAUDRATE 0, which asks the server for the rate without changing it.
void Rfc2217QueueBaudQuery(Rfc2217& codec);

// Queues one SET-CONTROL value (a ComPortControl).
void Rfc2217QueueControl(Rfc2217& codec, int value);

// Removes the first `count` bytes of `out` (they have been sent).
void Rfc2217Sent(Rfc2217& codec, int count);

// Copies line bytes from `in` to `out` with each 0xFF doubled, as far as `size`
// allows. Returns the bytes written; *used says how many of `in` they carry.
int Rfc2217Escape(const unsigned char* in, int length, unsigned char* out, int size, int* used);
