// `ports` as a technician reads it and as a script reads it, from the facts the
// system's file gathered; the same words and the same JSON on every system.
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/json_line.h"
#include "cli/ports.h"
#include "port/port.h"

namespace {

const char* StateWords(int problem, bool noUart) {
    switch (problem) {
        case OPEN_ERROR_NONE: return noUart ? "no UART" : "ready";
        case OPEN_ERROR_NO_DEVICE: return "missing";
        case OPEN_ERROR_PERMISSION: return "no access";
        case OPEN_ERROR_BUSY: return "busy";
        default: return "cannot open";
    }
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Describe(const DeviceFacts& device) {
    std::vector<std::string> parts;
    if (!device.target.empty()) parts.push_back(device.target);
    std::string what = device.maker;
    if (!device.product.empty()) what += (what.empty() ? "" : " ") + device.product;
    if (!what.empty()) parts.push_back(what);
    if (!device.serial.empty()) parts.push_back("serial " + device.serial);
    if (!device.driver.empty()) parts.push_back("driver " + device.driver);
    if (!device.usbId.empty()) parts.push_back("USB " + device.usbId);
    if (!device.uart.empty()) parts.push_back("UART " + device.uart);
    for (int k : device.coms) parts.push_back("is COM" + std::to_string(k));
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
    return text.empty() ? "(the system says nothing about it)" : text;
}

JsonValue OrNull(const std::string& text) { return text.empty() ? JsonValue(nullptr) : JsonValue(text); }

}  // namespace

std::string ShownPath(const DeviceTree& tree, const std::string& path) {
    if (!tree.home.empty() && StartsWith(path, tree.home + "/")) return "~" + path.substr(tree.home.size());
    return path;
}

void PrintPortsText(const PortsFacts& facts, const DeviceTree& tree, std::FILE* out) {
    std::vector<std::vector<std::string>> table = {{"COM", "STATE", "DEVICE"}};
    for (const ComPortFacts& com : facts.coms) {
        std::string device = ShownPath(tree, com.path);
        if (!com.target.empty()) device += " -> " + com.target;
        if (!com.resolved.empty() && com.resolved != com.path && com.resolved != com.target) {
            device += " (" + com.resolved + ")";
        }
        table.push_back({"COM" + std::to_string(com.k), StateWords(com.problem, com.noUart), device});
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
                          {"why", OrNull(com.why)}};
        PutJsonLine(out, line);
    }
    for (const DeviceFacts& device : facts.devices) {
        JsonValue line = {{"device", device.path},
                          {"target", OrNull(device.target)},
                          {"by_id", device.byId},
                          {"maker", OrNull(device.maker)},
                          {"product", OrNull(device.product)},
                          {"serial", OrNull(device.serial)},
                          {"driver", OrNull(device.driver)},
                          {"usb_id", OrNull(device.usbId)},
                          {"uart", OrNull(device.uart)},
                          {"com", device.coms},
                          {"exists", device.problem != OPEN_ERROR_NO_DEVICE},
                          {"access", device.problem == OPEN_ERROR_NONE},
                          {"why", OrNull(device.why)}};
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
