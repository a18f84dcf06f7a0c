// `ports` as a technician reads it and as a script reads it, from the facts the
// system's file gathered; the same words and the same JSON on every system.
#include <algorithm>
#include <string>
#include <vector>

#include "events/exit_status.h"
#include "events/trace_text.h"
#include "outputs/json_line.h"
#include "cli/ports/ports.h"
#include "commands/menu_table.h"
#include "port/port.h"

namespace {

const char* StateWords(int problem, bool noUart, bool network = false) {
    // A device server is only asked whether it takes a connection now.
    if (network) return problem == OPEN_ERROR_NONE ? "answers" : "no answer";
    switch (problem) {
        case OPEN_ERROR_NONE: return noUart ? "no UART" : "ready";
        case OPEN_ERROR_NO_DEVICE: return "missing";
        case OPEN_ERROR_PERMISSION: return "no access";
        case OPEN_ERROR_BUSY: return "busy";
        default: return "cannot open";
    }
}

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Describe(const DeviceFacts& device) {
    std::vector<std::string> parts;
    if (!device.name.empty()) parts.push_back(device.name);
    std::string what = device.maker;
    if (!device.product.empty()) what += (what.empty() ? "" : " ") + device.product;
    if (!what.empty()) parts.push_back(what);
    if (!device.serial.empty()) parts.push_back("serial " + device.serial);
    if (!device.driver.empty()) parts.push_back("driver " + device.driver);
    if (!device.usbId.empty()) {
        parts.push_back("USB " + device.usbId);
    } else if (!device.hardwareId.empty()) {
        parts.push_back(device.hardwareId);
    }
    if (!device.uart.empty()) parts.push_back("UART " + device.uart);
    if (!device.target.empty()) parts.push_back(device.target);
    if (device.latencyTimerMs >= 0) parts.push_back("latency timer " + std::to_string(device.latencyTimerMs) + " ms");
    for (int k : device.coms) parts.push_back("is COM" + std::to_string(k));
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
    return text.empty() ? "(the system says nothing about it)" : text;
}

JsonValue OrNull(const std::string& text) { return text.empty() ? JsonValue(nullptr) : JsonValue(text); }

}  // namespace

const char* const kRenumberInDeviceManager =
    "Device Manager > the port's Properties > Port Settings > Advanced > COM Port Number";

int MenuComReach() {
    int reach = 0;
    for (int i = 0; i < MenuTableLength; ++i) {
        const MenuEntry& entry = MenuTable[i];
        if (entry.kind == MENU_ITEM && entry.action.kind == ACTION_COM_PORT && entry.action.a > reach) {
            reach = entry.action.a;
        }
    }
    return reach;
}

std::string MenuAdvice(const DeviceFacts& device, const PortsFacts& facts) {
    const int reach = MenuComReach();
    if (device.number <= reach) return "";
    std::string free;
    for (int k = 1; k <= reach; ++k) {
        bool taken = false;
        for (const DeviceFacts& other : facts.devices) taken = taken || other.number == k;
        if (!taken) free += (free.empty() ? "COM" : ", COM") + std::to_string(k);
    }
    const std::string com = "COM" + std::to_string(device.number);
    std::string advice = "the console's menu reaches COM1..COM" + std::to_string(reach) + ", not " + com +
                         "; zantrox-cli reaches it as --port " + com + "\nfor the menu, renumber it in " +
                         kRenumberInDeviceManager;
    return advice + (free.empty() ? " (COM1..COM" + std::to_string(reach) + " are all taken: free one first)"
                                  : " (free now: " + free + ")");
}

void PrintPortsText(const PortsFacts& facts, const DeviceTree& tree, std::FILE* out) {
    std::vector<std::vector<std::string>> table = {{"COM", "STATE", "DEVICE"}};
    for (const ComPortFacts& com : facts.coms) {
        std::string device = ShownPath(tree, com.path);
        if (!com.target.empty()) device += " -> " + com.target;
        if (!com.resolved.empty() && com.resolved != com.path && com.resolved != com.target) {
            device += " (" + com.resolved + ")";
        }
        table.push_back({"COM" + std::to_string(com.k), StateWords(com.problem, com.noUart, com.network), device});
        // A name that is simply not there needs no more words than "missing".
        if (!com.why.empty() && !(com.target.empty() && com.problem == OPEN_ERROR_NO_DEVICE)) {
            table.push_back({"", "", com.why});
        }
    }
    PrintTable(out, table);
    std::fputs("\n", out);
    if (facts.devices.empty()) {
#ifdef _WIN32
        std::fputs("No COM ports found on this PC.\n", out);
#else
        std::fputs("No serial devices found: no USB adapter plugged in and no UART detected.\n", out);
#endif
        return;
    }
    table = {{"DEVICE", "STATE", "WHAT IT IS"}};
    for (const DeviceFacts& device : facts.devices) {
        table.push_back({device.path, StateWords(device.problem, false), Describe(device)});
        for (const std::string& name : device.byId) table.push_back({"", "", "by-id " + BaseName(name)});
        if (!device.why.empty()) table.push_back({"", "", device.why});
        std::string advice = MenuAdvice(device, facts);
        for (size_t at = 0, end = 0; end != std::string::npos && !advice.empty(); at = end + 1) {
            end = advice.find('\n', at);
            table.push_back({"", "", advice.substr(at, end == std::string::npos ? end : end - at)});
        }
    }
    PrintTable(out, table);
}

void PrintPortsJson(const PortsFacts& facts, std::FILE* out) {
    for (const ComPortFacts& com : facts.coms) {
        JsonValue line = {{"com", com.k},
                          {"path", com.path},
                          {"target", OrNull(com.target)},
                          {"resolved", OrNull(com.resolved)},
                          {"exists", com.problem != OPEN_ERROR_NO_DEVICE},
                          {"access", com.problem == OPEN_ERROR_NONE},
                          {"ready", com.problem == OPEN_ERROR_NONE && !com.noUart},
                          {"why", OrNull(com.why)},
                          {"network", com.network}};
        PutJsonLine(out, line);
    }
    for (const DeviceFacts& device : facts.devices) {
        JsonValue line = {{"device", device.path},
                          {"number", device.number > 0 ? JsonValue(device.number) : JsonValue(nullptr)},
                          {"name", OrNull(device.name)},
                          {"target", OrNull(device.target)},
                          {"by_id", device.byId},
                          {"maker", OrNull(device.maker)},
                          {"product", OrNull(device.product)},
                          {"serial", OrNull(device.serial)},
                          {"driver", OrNull(device.driver)},
                          {"usb_id", OrNull(device.usbId)},
                          {"hardware_id", OrNull(device.hardwareId)},
                          {"uart", OrNull(device.uart)},
                          {"latency_timer_ms", device.latencyTimerMs >= 0 ? JsonValue(device.latencyTimerMs)
                                                                          : JsonValue(nullptr)},
                          {"com", device.coms},
                          {"exists", device.problem != OPEN_ERROR_NO_DEVICE},
                          {"access", device.problem == OPEN_ERROR_NONE},
                          {"why", OrNull(device.why)},
                          {"advice", OrNull(MenuAdvice(device, facts))}};
        PutJsonLine(out, line);
    }
}

int RunPorts(const DeviceTree& tree, bool json, std::FILE* out, std::FILE*) {
    PortsFacts facts = GatherPorts(tree);
    if (json) {
        PrintPortsJson(facts, out);
    } else {
        PrintPortsText(facts, tree, out);
    }
    return EXIT_ALL_OK;
}

void PrintTable(std::FILE* out, const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        if (row.size() > widths.size()) widths.resize(row.size(), 0);
        for (size_t i = 0; i + 1 < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::fprintf(out, "%s\n", line.c_str());
    }
}
