// `ports` on Windows: COM1..COM9 as the console opens them ("ComK") and whether
// each opens now, then every COM port the system has, with what Device Manager
// shows of it (the Ports device class through SetupAPI), joined by the ports the
// drivers announce in SERIALCOMM and the DOS names COMn. COM numbers are given in
// Device Manager there, so `map` and `unmap` only say so.
#include <windows.h>
// clang-format off: initguid.h first, so devguid.h defines GUID_DEVCLASS_PORTS here.
#include <initguid.h>
#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>
// clang-format on

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "port/device_facts.h"
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

// A UTF-16 text from the system as UTF-8.
std::string Utf8(const wchar_t* text) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) return "";
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &utf8[0], bytes, nullptr, nullptr);
    utf8.resize(static_cast<size_t>(bytes - 1));
    return utf8;
}

// The COM number in "COM12" (any case); 0 for any other name ("LPT1", "COM", "COMx").
int ComNumber(const std::string& name) {
    if (name.size() < 4 || name.size() > 6 || _strnicmp(name.c_str(), "COM", 3) != 0 ||
        name.find_first_not_of("0123456789", 3) != std::string::npos) {
        return 0;
    }
    return std::atoi(name.c_str() + 3);
}

// What the system says of one COM port; every text "" when it says nothing.
struct Listed {
    std::string name, maker, hardwareId, driver, instanceId, parentId, target;
};

// A text property of a device (the first text of a list property); "" when it has none.
std::string DeviceProperty(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property) {
    wchar_t text[1024] = {0};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, &info, property, &type, reinterpret_cast<BYTE*>(text),
                                           sizeof text - sizeof(wchar_t), nullptr)) {
        return "";
    }
    if (type != REG_SZ && type != REG_MULTI_SZ) return "";
    text[sizeof text / sizeof text[0] - 1] = L'\0';
    return Utf8(text);
}

// The device's "PortName" ("COM4", "LPT1"); "" when it has none.
std::string PortName(HDEVINFO set, SP_DEVINFO_DATA& info) {
    HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return "";
    wchar_t name[64] = {0};
    DWORD type = 0;
    DWORD size = sizeof name - sizeof(wchar_t);
    LONG status = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_SZ ? Utf8(name) : "";
}

std::string InstanceId(DEVINST device) {
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {0};
    return CM_Get_Device_IDW(device, id, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS ? Utf8(id) : "";
}

// The COM ports of the Ports device class that are there now, as Device Manager
// shows them, by COM number.
void ListPortsClass(std::map<int, Listed>& ports) {
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA info;
    for (DWORD index = 0;; ++index) {
        ZeroMemory(&info, sizeof info);
        info.cbSize = sizeof info;
        if (!SetupDiEnumDeviceInfo(set, index, &info)) break;
        int k = ComNumber(PortName(set, info));
        if (k == 0) continue;  // a printer port
        Listed& port = ports[k];
        port.name = DeviceProperty(set, info, SPDRP_FRIENDLYNAME);
        if (port.name.empty()) port.name = DeviceProperty(set, info, SPDRP_DEVICEDESC);
        port.maker = DeviceProperty(set, info, SPDRP_MFG);
        port.hardwareId = DeviceProperty(set, info, SPDRP_HARDWAREID);
        port.driver = DeviceProperty(set, info, SPDRP_SERVICE);
        port.instanceId = InstanceId(info.DevInst);
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, info.DevInst, 0) == CR_SUCCESS) port.parentId = InstanceId(parent);
    }
    SetupDiDestroyDeviceInfoList(set);
}

// The serial ports the drivers announce ("\Device\Serial0" = "COM1"): some have
// no device in the Ports class (Wine's, a few virtual port drivers).
void ListSerialComm(std::map<int, Listed>& ports) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t device[256] = {0};
        wchar_t name[64] = {0};
        DWORD deviceLength = sizeof device / sizeof device[0];
        DWORD nameBytes = sizeof name - sizeof(wchar_t);
        DWORD type = 0;
        LONG status = RegEnumValueW(key, index, device, &deviceLength, nullptr, &type, reinterpret_cast<BYTE*>(name),
                                    &nameBytes);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS || type != REG_SZ) continue;
        int k = ComNumber(Utf8(name));
        if (k == 0) continue;
        Listed& port = ports[k];
        if (port.target.empty()) port.target = Utf8(device);
    }
    RegCloseKey(key);
}

// Every DOS device name of the form COMn, with what it stands for
// ("\Device\Serial0", "\Device\VCP0", "\Device\USBSER000").
void ListDosNames(std::map<int, Listed>& ports) {
    std::vector<char> names(64 * 1024);
    for (;;) {
        DWORD got = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (got != 0) break;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() >= 16 * 1024 * 1024) return;
        names.resize(names.size() * 2);
    }
    for (const char* name = names.data(); *name != '\0'; name += std::strlen(name) + 1) {
        int k = ComNumber(name);
        if (k != 0) ports[k];
    }
    for (auto& port : ports) {
        char target[1024] = {0};
        std::string com = "COM" + std::to_string(port.first);
        if (QueryDosDeviceA(com.c_str(), target, sizeof target) != 0) port.second.target = target;
    }
}

// Names above COM9 open only through the \\.\ prefix.
std::string OpenName(const std::string& port) { return port.size() > 4 ? "\\\\.\\" + port : port; }

std::string Why(int reason) {
    if (reason == OPEN_ERROR_NONE) return "";
    if (reason == OPEN_ERROR_NO_DEVICE) return "no such port on this PC";
    return OpenFailureWords(reason);
}

}  // namespace

// Windows keeps an adapter's latency in its driver's settings, not where a program
// may read it per port: nothing to say.
int AdapterLatencyTimerMs(const DeviceTree&, int, const std::string&, std::string& file) {
    file.clear();
    return -1;
}

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
    std::map<int, Listed> ports;
    ListPortsClass(ports);
    ListSerialComm(ports);
    ListDosNames(ports);
    for (const auto& [k, port] : ports) {
        DeviceFacts device;
        device.path = "COM" + std::to_string(k);
        device.number = k;
        device.name = port.name;
        device.target = port.target;
        device.maker = port.maker;
        device.driver = port.driver;
        device.hardwareId = port.hardwareId;
        device.usbId = UsbIdFromHardwareId(port.hardwareId);
        device.serial = UsbSerial(port.instanceId, port.parentId);
        if (k <= PORT_COUNT) device.coms.push_back(k);
        device.problem = TryOpen(OpenName(device.path));
        device.why = Why(device.problem);
        facts.devices.push_back(device);
    }
    return facts;
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
