// `zantrox-cli ports` and `map`: the facts the port floor gathers, shown as a
// technician reads them and as a script reads them, and COM ports mapped to
// devices (Linux links under ~/.config/zantrox).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "port/device_facts.h"

// `zantrox-cli ports [--json]`: COM1..COM9 as the console resolves them, then every
// serial device found. Returns an exit status.
int RunPorts(const DeviceTree& tree, bool json, std::FILE* out, std::FILE* err);

// The facts as two tables (paths under `tree.home` shown with "~"), or as one JSON
// line a COM port, then one a device.
void PrintPortsText(const PortsFacts& facts, const DeviceTree& tree, std::FILE* out);
void PrintPortsJson(const PortsFacts& facts, std::FILE* out);

// What `map` may do beyond making or replacing a mapping.
struct MapChoices {
    bool allowMissing = false;  // --force: map DEVICE even though it is not there (yet)
    bool replace = false;       // --replace: remove what stands at comK when it is not a mapping
};

// `zantrox-cli map K DEVICE [--force] [--replace]` and `unmap K [--force]` (Linux).
// Return an exit status.
int RunMap(const DeviceTree& tree, int k, const std::string& device, const MapChoices& choices, std::FILE* out,
           std::FILE* err);
int RunUnmap(const DeviceTree& tree, int k, bool force, std::FILE* out, std::FILE* err);

// The highest COM number the console's menu offers (COM1..COM7).
int MenuComReach();
// What to do about a device the console's menu cannot reach (its system COM
// number above MenuComReach()), naming the menu's numbers no device of `facts`
// has; "" when there is nothing to do.
std::string MenuAdvice(const DeviceFacts& device, const PortsFacts& facts);
// Where Windows renumbers a COM port.
extern const char* const kRenumberInDeviceManager;

// Rows as a plain table: every column but the last padded to its widest cell, two
// spaces apart, trailing spaces dropped.
void PrintTable(std::FILE* out, const std::vector<std::vector<std::string>>& rows);
