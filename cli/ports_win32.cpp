// `ports` on Windows: COM1..COM9 as the console opens them ("ComK") and whether
// each opens now, then the COM ports the system has (its DOS device names). COM
// numbers are given in Device Manager there, so `map` and `unmap` only say so.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/ports.h"
#include "port/device.h"
#include "port/device_win32.h"
#include "port/port.h"

namespace {

// Opens and closes the port at once; the reason it would not open, or OPEN_ERROR_NONE.
int TryOpen(const std::string& name) {
    HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        // A name that opens but has no line settings to read is no serial port (Wine
        // opens a COM name whose device is missing and fails here).
        DCB dcb;
        ZeroMemory(&dcb, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        BOOL serial = GetCommState(handle, &dcb);
        CloseHandle(handle);
        return serial ? OPEN_ERROR_NONE : OPEN_ERROR_NOT_SERIAL;
    }
    return OpenErrorForSystemError(GetLastError());
}

// Every DOS device name of the form COMn, in number order, with what it stands for
// ("\Device\Serial0", "\Device\VCP0", "\Device\USBSER000").
std::vector<std::pair<std::string, std::string>> ComDevices() {
    std::vector<char> names(64 * 1024);
    for (;;) {
        DWORD got = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (got != 0) break;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() >= 16 * 1024 * 1024) return {};
        names.resize(names.size() * 2);
    }
    std::vector<std::pair<std::string, std::string>> ports;
    for (const char* name = names.data(); *name != '\0'; name += std::strlen(name) + 1) {
        std::string text = name;
        if (text.size() < 4 || _strnicmp(text.c_str(), "COM", 3) != 0 ||
            text.find_first_not_of("0123456789", 3) != std::string::npos) {
            continue;
        }
        char target[1024] = {0};
        if (QueryDosDeviceA(text.c_str(), target, sizeof target) == 0) target[0] = '\0';
        ports.emplace_back(text, target);
    }
    std::sort(ports.begin(), ports.end(), [](const auto& a, const auto& b) {
        return std::atoi(a.first.c_str() + 3) < std::atoi(b.first.c_str() + 3);
    });
    return ports;
}

// Names above COM9 open only through the \\.\ prefix.
std::string OpenName(const std::string& port) { return port.size() > 4 ? "\\\\.\\" + port : port; }

std::string Why(int reason) {
    if (reason == OPEN_ERROR_NONE) return "";
    if (reason == OPEN_ERROR_NO_DEVICE) return "no such port on this PC";
    return OpenFailureWords(reason);
}

}  // namespace

PortsFacts GatherPorts(const DeviceTree&) {
    PortsFacts facts;
    for (int k = 1; k <= PORT_COUNT; ++k) {
        ComPortFacts com;
        com.k = k;
        com.path = "Com" + std::to_string(k);
        com.problem = TryOpen(com.path);
        com.why = Why(com.problem);
        facts.coms.push_back(com);
    }
    for (const auto& port : ComDevices()) {
        DeviceFacts device;
        device.path = port.first;
        device.target = port.second;
        int k = std::atoi(port.first.c_str() + 3);
        if (k >= 1 && k <= PORT_COUNT) device.coms.push_back(k);
        device.problem = TryOpen(OpenName(port.first));
        device.why = Why(device.problem);
        facts.devices.push_back(device);
    }
    return facts;
}

int RunMap(const DeviceTree&, int, const std::string&, const MapChoices&, std::FILE*, std::FILE* err) {
    std::fputs("zantrox-cli: map is for Linux only; on Windows a port's COM number is set in Device Manager\n"
               "(the port's Properties, Port Settings, Advanced, COM Port Number).\n",
               err);
    return EXIT_USAGE;
}

int RunUnmap(const DeviceTree&, int, bool, std::FILE*, std::FILE* err) {
    std::fputs("zantrox-cli: unmap is for Linux only; on Windows a port's COM number is set in Device Manager.\n",
               err);
    return EXIT_USAGE;
}

std::string ExplainOpenFailure(int reason, const std::string&, const DeviceTree&) {
    if (IsNetworkOpenError(reason)) return ExplainNetworkOpenFailure(reason, NetOpenNote());
    const std::string head = OpenFailureWords(reason);
    switch (reason) {
        case OPEN_ERROR_NO_DEVICE:
            return head + " (is the adapter unplugged?).\n`zantrox-cli ports` lists the COM ports this PC has.";
        case OPEN_ERROR_BUSY:
            return head + ".\nClose the program using it (another console, a terminal program), then try again.";
        case OPEN_ERROR_PERMISSION:
            return head + ": Windows refused access to it.";
        case OPEN_ERROR_NOT_SERIAL:
            return head + ".\n`zantrox-cli ports` lists the COM ports this PC has.";
        default:
            return head + ".";
    }
}
