// The line a subcommand uses (send, watch, check, run, the tap, the extcap): its
// options, and opening the port they name.
#pragma once

#include <string>
#include <vector>

#include "events/exit_status.h"
#include "outputs/output_options.h"


// The options of send, watch and check, already checked against their allowed values.
struct PortOptions {
    std::string port;        // "" (COM1 as the console resolves it), "3", a device path, or "COM3"
    int comPort = 1;         // `port` resolved by ResolvePortOption: the COM port to use
    std::string deviceName;  // and the device it opens instead of the console's rule ("" for none)
    int baudRate = 9600;
    int pumpNumber = 1;
    int presetAmount = 100;  // hundredths
    int priceBase = 1199;
    bool json = false;       // JSON Lines on stdout instead of text
    OutputOptions outputs;
};

// The port as opened: what it is called and the device behind it.
struct OpenedPort {
    int comPort = 1;
    std::string name;    // "COM1", or the device path given
    std::string device;  // "/home/u/.config/zantrox/com1 -> /dev/pts/3", "Com1"
};

// Puts the options (their port already resolved) into the console settings, opens
// the port and starts the tick thread. On failure says why on stderr (in words,
// with what to do) and returns EXIT_NO_PORT; else EXIT_ALL_OK.
int OpenPort(const PortOptions& options, OpenedPort& opened);
// Turns a --port value into the COM port to use and, for a device path (Linux) or
// COM10 and above (Windows), the device name it opens. Returns 0, or -1 with a reason
// (a usage error: no such COM number, a device name too long to open).
int ResolvePortOption(const std::string& port, int& comPort, std::string& deviceName, std::string& error);

// "COM1 (~/.config/zantrox/com1 -> /dev/ttyUSB0)": the port's name with its device.
std::string PortLabel(const OpenedPort& opened);

// Stops the tick thread and forgets the port.
void ClosePort();
