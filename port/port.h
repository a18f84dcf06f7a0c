// The port table: nine serial port records ("Com1".."Com9", ids 1001..1009) behind
// one request function. Reads never block; every request returns a small result code.
#pragma once

#include <cstdint>

enum PortOperation {
    PORT_INIT = 0,       // empty every record
    PORT_RESOLVE = 1,    // COM port number -> port id
    PORT_OPEN = 2,       // open with line settings
    PORT_WRITE = 3,      // write a block
    PORT_READ_BYTE = 4,  // deliver one received byte
    PORT_SET_RTS = 5,    // RTS off (code 1) or on
    PORT_FORGET = 6,     // empty one record without closing its device
};

enum PortResult {
    PORT_OK = 0,
    PORT_BAD_REQUEST = 1,
    PORT_BAD_ID = 2,
    PORT_NO_DATA = 3,
    PORT_IO_ERROR = 4,
    PORT_TOO_LONG = 5,
    PORT_OPEN_FAILED = -1,
};

enum {
    PORT_COUNT = 9,
    PORT_FIRST_ID = 1001,
    PORT_LAST_ID = 1009,
    PORT_TX_BYTES = 50000,
    PORT_RX_BYTES = 1000,
};

// Opaque device handle as the device layer hands it out; 0 means "no device".
typedef std::intptr_t DeviceHandle;

struct PortRecord {
    DeviceHandle handle;
    int dataBits;
    int transmitLength;
    unsigned char transmitBuffer[PORT_TX_BYTES];
    int receiveCount;
    int receiveHead;
    int receiveTail;
    unsigned char receiveRing[PORT_RX_BYTES];
};

struct PortParams {
    int baudRate;  // bits per second, passed through unchanged
    int parity;    // 1 odd, 2 even, anything else none
    int dataBits;  // 7 selects seven data bits, anything else eight
    int stopBits;  // 50 selects two stop bits, anything else one
};

// Argument records, one per operation that takes arguments.
struct PortResolveArgs {
    unsigned char comPort;  // in
    int* portId;            // out: 1000 + comPort, or -1
};

struct PortWriteArgs {
    const unsigned char* data;
    int length;
};

struct PortReadArgs {
    unsigned char* byte;  // out
};

struct PortRtsArgs {
    int code;  // 1 disables RTS, anything else enables it
};

// Runs one operation on port `portId` (ignored by PORT_INIT and PORT_RESOLVE).
// `args` points to the record the operation takes: PortResolveArgs, PortParams,
// PortWriteArgs, PortReadArgs or PortRtsArgs; nullptr for the others.
int PortRequest(int portId, int operation, void* args);

// Why the last PORT_OPEN could not open its device (PORT_OPEN_FAILED), in the
// terms a technician can act on. OPEN_ERROR_NONE after an open that got a device.
enum PortOpenError {
    OPEN_ERROR_NONE = 0,
    OPEN_ERROR_NO_DEVICE = 1,   // no such device (or a link to nothing)
    OPEN_ERROR_PERMISSION = 2,  // this user may not open it
    OPEN_ERROR_BUSY = 3,        // held by another program
    OPEN_ERROR_NOT_SERIAL = 4,  // a regular file, a folder, /dev/null, ...
    OPEN_ERROR_OTHER = 5,       // anything else the system said
    // A network port (rfc2217:// or socket://):
    OPEN_ERROR_NET_NO_HOST = 6,      // the host name does not resolve
    OPEN_ERROR_NET_REFUSED = 7,      // nothing listens on that TCP port
    OPEN_ERROR_NET_TIMED_OUT = 8,    // no answer within the 3 s bound (name service or host)
    OPEN_ERROR_NET_UNREACHABLE = 9,  // no route to the host
    OPEN_ERROR_NET_NOT_RFC2217 = 10, // connected, but the server does not do serial port control
    OPEN_ERROR_NET_CLOSED = 11,      // the server hung up while the port was being opened
    // TLS (rfc2217+tls://, socket+tls://), and a plain URL given to a TLS server;
    // NetOpenNote() says the particulars:
    OPEN_ERROR_TLS_UNTRUSTED = 12,   // the server's certificate is not from a CA we trust
    OPEN_ERROR_TLS_WRONG_NAME = 13,  // it is not for the name we connected to (or name=)
    OPEN_ERROR_TLS_EXPIRED = 14,     // it has expired or is not valid yet
    OPEN_ERROR_TLS_NOT_TLS = 15,     // the server answered, but not in TLS
    OPEN_ERROR_TLS_REFUSED_US = 16,  // the server refused our certificate (or our having none)
    OPEN_ERROR_TLS_FAILED = 17,      // the handshake failed otherwise (what TLS said is in the note)
    OPEN_ERROR_TLS_FILES = 18,       // a ca=, cert= or key= file cannot be used
    OPEN_ERROR_NET_TLS_SERVER = 19,  // a plain URL, but the server speaks TLS
};
int PortLastOpenError();

enum { PORT_NAME_BYTES = 512 };

// Makes COM port k (1..9) open `name` instead of its usual device (a path on
// Linux, a device name such as \\.\COM12 on Windows); nullptr or "" restores the
// usual one. Returns 0, or -1 when k is out of range or the name does not fit.
int PortSetDeviceName(int k, const char* name);
// The name set for COM port k, or nullptr when it uses its usual device.
const char* PortDeviceName(int k);

// 1 when the device behind an open port has gone away (a USB adapter pulled, the
// other end of a pseudo-terminal closed); 0 while it is there or the record is empty.
int PortDeviceLost(int portId);

// Opens port `portId` like PORT_OPEN, but beside the device PORT_OPEN keeps: no
// other device is closed, and this one stays open until PortClose. For listening
// on several lines at once. Returns what PORT_OPEN returns.
int PortOpenBeside(int portId, const PortParams* params);
// Closes the device behind `portId` and empties its record.
void PortClose(int portId);

// Waits until any of the `count` ports (ids) has a byte to read or its device has
// gone away, or `timeoutMs` passed; sets ready[i] to 1 for each such port, else 0,
// and returns how many are ready. Ports without a device are never ready (and
// with none open it just waits). The wait sleeps in the system, it does not spin.
int PortWaitReadable(const int* portIds, int count, int timeoutMs, int* ready);

// The table itself, for tests and diagnostics.
extern PortRecord PortTable[PORT_COUNT];
