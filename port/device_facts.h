// The facts about a system's serial devices: finding them and the COM ports that
// name them (Linux links under ~/.config/zantrox), an adapter's latency timer, and
// saying in words why one cannot be opened. Every path is
// taken relative to a DeviceTree, so tests give a fake /dev, /sys and HOME.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct DeviceTree {
    std::string dev = "/dev";
    std::string sys = "/sys";
    std::string home;  // the user's HOME; "" when unset
    std::string proc = "/proc";  // whose fd links tell which program holds a device
};

// What `ports` finds. The system's own file (device_facts_linux.cpp,
// device_facts_win32.cpp) gathers it; the command line shows it, as text or as JSON Lines of one shape on
// every system. A text left "" or a list left empty is a fact not known (or not
// there) on this system: the text leaves it out, JSON gives null or [].

// COM k as the console would open it.
struct ComPortFacts {
    int k = 0;
    std::string path;      // what it opens: "<home>/.config/zantrox/com1", "/dev/ttyS2", "Com3"
    std::string target;    // what the mapping at `path` points at
    std::string resolved;  // the device at the end, every link followed
    int problem = 0;       // why it would not open, a PortOpenError (OPEN_ERROR_NONE: it opens)
    bool noUart = false;   // it opens, but no UART is behind it (a ttyS name with nothing there)
    std::string why;       // the problem in words, with what to do
    bool network = false;  // mapped to a device server (rfc2217://, socket://): `problem` says whether it answered
};

// One serial device the system has.
struct DeviceFacts {
    std::string path;               // "/dev/ttyUSB0", "COM3"
    int number = 0;                 // the COM number the system gave it ("COM12": 12); 0 when it gives none
    std::string name;               // what the system calls it: "USB Serial Port (COM4)"
    std::string target;             // what the system's name stands for: "\Device\Serial0"
    std::vector<std::string> byId;  // its stable names: "/dev/serial/by-id/usb-FTDI_..."
    std::string maker, product, serial, driver;
    std::string usbId;              // "0403:6001"
    std::string hardwareId;         // the id the system matched a driver to: "ACPI\PNP0501"
    std::string uart;               // "16550A", "type 42"
    int latencyTimerMs = -1;        // a USB adapter's latency timer where the system says it; -1 unknown
    std::vector<int> coms;          // the COM ports that open it
    int problem = 0;                // as for a COM port
    std::string why;
};

struct PortsFacts {
    std::vector<ComPortFacts> coms;  // COM1..COM9, in order
    std::vector<DeviceFacts> devices;
};

// Gathers the facts for `tree` (the system's file).
PortsFacts GatherPorts(const DeviceTree& tree);

// How long the USB serial adapter behind COM port k (or the device named
// `deviceName`, when not empty) holds received bytes before passing them on, in
// ms, with the system file that sets it in `file`; -1 when the system does not
// say (not a USB adapter, or not Linux). The system's file.
int AdapterLatencyTimerMs(const DeviceTree& tree, int k, const std::string& deviceName, std::string& file);
// Above this, a tap warns that its times are late by up to the timer.
enum { LATENCY_TIMER_WARN_MS = 1 };
// The warning for a line (`role` "host", "controller") whose adapter's timer is `ms`,
// with the command that lowers it; "" when the timer is not above the limit.
std::string LatencyTimerWarning(const std::string& role, int ms, const std::string& file);
// `path` as a technician reads it: the home folder as "~".
std::string ShownPath(const DeviceTree& tree, const std::string& path);

// Why `device` (the path or name that was opened) could not be opened (`reason`
// is a PortOpenError), as one or two lines for a technician: what is wrong and
// what to do about it, without the device's name, which the caller shows, and
// without a final newline. "no such device: the link points at /dev/ttyUSB1, ..."
std::string ExplainOpenFailure(int reason, const std::string& device, const DeviceTree& tree);

// Shared by the platform files and open to tests.

// What decides whether this user may open a device (Linux), for PermissionAdvice.
struct PermissionFacts {
    unsigned mode = 0;             // permission bits of the device node
    std::string owner;             // owning user's name (or number)
    std::string group;             // owning group's name (or number)
    bool groupIsRoot = false;      // the group is root's own
    bool sessionHasGroup = false;  // this process runs with the group
    bool userListsGroup = false;   // the group database lists this user in it
};
// Why such a device cannot be opened by this user and what to do, in one line.
std::string PermissionAdvice(const PermissionFacts& facts);

// A PortOpenError in words: "no such device", "permission denied", "busy (held by
// another program)", "not a serial device", "could not be opened".
const char* OpenFailureWords(int reason);

// 1 for the reasons only a network port (rfc2217://, socket://) gives.
bool IsNetworkOpenError(int reason);
// Why a network port could not be opened, in the form of ExplainOpenFailure;
// `note` is what the server said before it hung up ("" when nothing).
std::string ExplainNetworkOpenFailure(int reason, const std::string& note);

// What a Windows device's ids tell. "USB\VID_0403&PID_6001&REV_0600" (or
// "FTDIBUS\COMPORT&VID_0403&PID_6001") -> "0403:6001"; "" when it names no USB
// vendor and product.
std::string UsbIdFromHardwareId(const std::string& hardwareId);
// The serial number in a device instance id, "USB\VID_0403&PID_6001\A12345" ->
// "A12345"; "" when the last part is one the system made up (it holds '&':
// "5&2E7F1C3&0&2") or the id is not a USB device's.
std::string SerialFromInstanceId(const std::string& instanceId);
// The serial number of the USB device a port belongs to, from the port's instance
// id or, for a port below a vendor's bus driver or one function of several, from
// its parent's when that is the same USB device (a hub above it is not); "".
std::string UsbSerial(const std::string& instanceId, const std::string& parentId);

#ifndef _WIN32
// What `map` and `unmap` read of the tree (Linux).

struct stat;
// Where COM port k's link is: "<home>/.config/zantrox/comK"; "" without HOME.
std::string MappingPath(const DeviceTree& tree, int k);
// The path COM port k opens by the console's rule; with `withLink` false (or
// without HOME), the port's usual device.
std::string ComPath(const DeviceTree& tree, int k, bool withLink = true);
// The text of a link; "" when `path` is not one.
std::string ReadLink(const std::string& path);
// The path with every link followed; "" when something on the way is missing.
std::string RealPath(const std::string& path);
// The first /dev/serial/by-id name of the USB serial device at `path`: a name
// that stays with the adapter. "" when it is no such device or has none.
std::string StableDeviceName(const DeviceTree& tree, const std::string& path);
// What a node that is not a serial device is, in words ("a regular file", "a
// folder"); `real` is its path with links followed.
const char* NodeKind(const struct stat& st, const std::string& real);
// Why this user cannot open the device at `path` (it is there); "" when it can,
// or nothing is there.
std::string AccessRefusal(const std::string& path);
struct NetAddress;
// Whether a device server answers now: a TCP connection within the bound, closed
// at once. Returns a PortOpenError.
int ProbeServer(const NetAddress& address);
#endif
