// The device layer under the port table: one small table of functions per backend.
// The build links exactly one platform backend (device_posix.cpp or device_win32.cpp),
// which defines PlatformDevice; tests may install a scripted device instead.
#pragma once

#include "port/port.h"

struct LineSettings {
    int baudRate;
    int dataBits;  // 7 or 8
    int parity;    // 0 none, 1 odd, 2 even
    int stopBits;  // 1 or 2
};

struct DeviceOps {
    // Opens the device of COM port k (1..9) for reading and writing, exclusively
    // (PortDeviceName(k) when one is set). Returns a non-zero handle, or 0 when it
    // cannot be opened, with the reason (a PortOpenError) in *error.
    DeviceHandle (*open)(int k, int* error);
    // Closes a handle returned by open.
    void (*close)(DeviceHandle handle);
    // Applies the line settings (raw bytes, no flow control) and read time-outs that
    // return at once. Returns PORT_OK or PORT_IO_ERROR.
    int (*configure)(DeviceHandle handle, const LineSettings& settings);
    // Raises DTR, then RTS. Failures are not errors (pseudo-terminals have no modem lines).
    void (*raiseDtrRts)(DeviceHandle handle);
    // Writes `length` bytes (0 allowed). Returns PORT_OK or PORT_IO_ERROR.
    int (*write)(DeviceHandle handle, const unsigned char* data, int length);
    // Reads at most one byte. A byte that is there is returned at once; when none
    // is, the backend may wait for the line briefly (at most 1 ms) before answering.
    // Returns 1 with the byte, 0 when none came (a failing read counts as none).
    int (*readByte)(DeviceHandle handle, unsigned char* byte);
    // Turns RTS on (enable 1) or off (enable 0).
    void (*setRts)(DeviceHandle handle, int enable);
    // 1 when the device has gone away (hang-up, adapter pulled), else 0.
    int (*lost)(DeviceHandle handle);
    // Sleeps until any of `count` handles has a byte to read or has gone away, or
    // `timeoutMs` passed (0 asks without waiting). Sets ready[i] to 1 for each such
    // handle, else 0, and returns how many are ready. With no handles it just waits.
    int (*waitReadable)(const DeviceHandle* handles, int count, int timeoutMs, int* ready);
};

extern const DeviceOps PlatformDevice;

// Network lines (rfc2217:// and socket://), on every platform: net_device.cpp.
extern const DeviceOps NetworkDevice;

// Bounds of the network device.
enum {
    NET_OPEN_BOUND_MS = 3000,  // name resolution, connect and negotiation together
    NET_NOTE_BYTES = 400,  // a TLS refusal lists the names a certificate holds
    SERVER_PROBE_MS = 2000,    // `ports` asks whether a mapped server takes a connection now
};

// What the server sent before it hung up on the last network open (ser2net says
// why it could not open its device), printable text; for a TLS refusal, the
// particulars in words; "" when nothing.
const char* NetOpenNote();

// The name COM port k opens when it is not a device of this machine: the name
// set with PortSetDeviceName, else what the platform maps COM k to (on Linux the
// target text of ~/.config/zantrox/comK when that is a symbolic link). Returns 1
// with a network port name (rfc2217:// or socket://) in `out`, else 0.
int PortNetworkName(int k, char* out, int size);

// The platform's part of that: the text COM port k is mapped to, whatever it is
// (a link's target). Returns 0 with the text, -1 when there is none.
int PlatformMappedName(int k, char* out, int size);

// Selects the device layer used by PortRequest; nullptr restores PlatformDevice.
void PortUseDevice(const DeviceOps* ops);
