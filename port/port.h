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

// The table itself, for tests and diagnostics.
extern PortRecord PortTable[PORT_COUNT];
