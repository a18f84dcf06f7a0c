// Opening the port for the command line: --port resolved, the console's settings
// set, the port opened and the failure explained in words.
#include "listen/port_options.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "port/device_facts.h"
#include "commands/settings.h"
#include "os/threading.h"
#include "link/transaction.h"
#include "port/device.h"
#include "port/net_url.h"
#include "port/port.h"
#include "port/tls.h"

#ifndef _WIN32
#include <climits>
#include <unistd.h>

#include "port/device_path.h"
#endif

namespace {

// "COM3" (any case) -> 3; -1 when the text is not COM and a number.
int ComNumber(const std::string& text) {
    if (text.size() < 4) return -1;
    if (std::toupper(static_cast<unsigned char>(text[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(text[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(text[2])) != 'M') {
        return -1;
    }
    int n = 0;
    for (size_t i = 3; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])) || n > 999) return -1;
        n = n * 10 + (text[i] - '0');
    }
    return n;
}

bool AllDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

// The name COM port k opens: the one set for it, else the console's rule.
std::string OpenedPath(int k) {
    const char* name = PortDeviceName(k);
    if (name != nullptr) return name;
#ifdef _WIN32
    return "Com" + std::to_string(k);
#else
    char buffer[DEVICE_PATH_BYTES];
    if (DevicePathFor(k, std::getenv("HOME"), buffer, sizeof buffer) != 0) return "?";
    return buffer;
#endif
}

// Where COM port k's device is, for messages: the name opened and, for a mapping,
// what it points at.
std::string DescribeDevice(int k) {
    std::string path = OpenedPath(k);
#ifndef _WIN32
    char target[PATH_MAX];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n > 0) {
        target[n] = '\0';
        return path + " -> " + target;
    }
#endif
    return path;
}

}  // namespace

int ResolvePortOption(const std::string& port, int& comPort, std::string& deviceName, std::string& error) {
    deviceName.clear();
    if (port.empty()) {
        comPort = 1;
        return 0;
    }
    // A device server on the network, on every platform: opened through COM1's record.
    NetAddress address;
    int url = NetParseUrl(port.c_str(), &address);
    if (url != NET_URL_NOT_URL) {
        if (url != NET_URL_OK) {
            char problem[NET_NOTE_BYTES];
            error = "--port: " + port + ": " + NetUrlProblemText(url, address, problem, sizeof problem);
            return -1;
        }
        // TLS files are checked before anything is connected (a key's contents are never shown).
        char problem[TLS_PROBLEM_BYTES];
        if (address.tls && TlsCheckFiles(address, problem, sizeof problem) != 0) {
            error = "--port: " + port + ": " + problem;
            return -1;
        }
        comPort = 1;
        deviceName = port;
        return 0;
    }
    if (AllDigits(port)) {
        if (port.size() > 1 || port[0] < '1') {
            error = "--port: COM number " + port + " is not 1..9";
            return -1;
        }
        comPort = port[0] - '0';
        return 0;
    }
    int n = ComNumber(port);
    if (n >= 1 && n <= 9) {
        comPort = n;
        return 0;
    }
#ifdef _WIN32
    if (n >= 10) {
        // Windows opens COM10 and above only by their full device name.
        comPort = 1;
        deviceName = "\\\\.\\COM" + std::to_string(n);
        return 0;
    }
    error = "--port: " + port + " is not a COM port (give COM1, COM2, ... or a number 1..9)";
    return -1;
#else
    if (n == 0 || n > 9) {
        error = "--port: " + port + " is not COM1..COM9 (or give a device path)";
        return -1;
    }
    comPort = 1;
    deviceName = port.find('/') == std::string::npos ? "/dev/" + port : port;
    if (deviceName.size() >= PORT_NAME_BYTES) {
        error = "--port: the device name is too long";
        return -1;
    }
    return 0;
#endif
}

int OpenPort(const PortOptions& options, OpenedPort& opened) {
    const int comPort = options.comPort;
    const std::string& deviceName = options.deviceName;
    PortRequest(0, PORT_INIT, nullptr);
    if (PortSetDeviceName(comPort, deviceName.c_str()) != 0) {
        // ResolvePortOption refuses a name this long; said rather than opened cut.
        std::fprintf(stderr, "zantrox-cli: --port: the device name is too long\n");
        return EXIT_NO_PORT;
    }
    ResetConsoleSettings();
    Settings.comPort = comPort;
    Settings.baudRate = options.baudRate;
    Settings.pumpNumber = options.pumpNumber;
    Settings.presetAmount = options.presetAmount;
    Settings.priceBase = options.priceBase;
    opened.comPort = comPort;
    // A device given by path is called by its path; a COM number by its COM name.
    opened.name = deviceName.empty() ? "COM" + std::to_string(comPort) : deviceName;
    opened.device = DescribeDevice(comPort);
    std::string label = PortLabel(opened);

    int result = OpenConfiguredPort();
    if (result != PORT_OK) {
        std::string device = OpenedPath(comPort);
        if (result == PORT_OPEN_FAILED) {
            DeviceTree tree;
            const char* home = std::getenv("HOME");
            if (home != nullptr) tree.home = home;
            std::fprintf(stderr, "zantrox-cli: %s: %s\n", label.c_str(),
                         ExplainOpenFailure(PortLastOpenError(), device, tree).c_str());
        } else {
            std::fprintf(stderr,
                         "zantrox-cli: %s: the line settings (%d baud, 8 data bits, no parity, one stop bit) "
                         "could not be applied: not a serial port, or one that does not offer this speed\n",
                         label.c_str(), options.baudRate);
        }
        return EXIT_NO_PORT;
    }
    if (StartTickThread() != 0) {
        std::fprintf(stderr, "zantrox-cli: could not start the receive timer thread\n");
        return EXIT_NO_PORT;
    }
    return EXIT_ALL_OK;
}

std::string PortLabel(const OpenedPort& opened) {
    return opened.device == opened.name ? opened.name : opened.name + " (" + opened.device + ")";
}

void ClosePort() {
    (void)StopTickThread();
    PortRequest(openPortId.load(), PORT_FORGET, nullptr);
}
