// The command table as the command line names it: every menu item by its path
// (labels from the bar down, "&" dropped, joined by "/"), by its id, and every hot
// key as key:X. Built from the one command table; nothing here adds a command.
#pragma once

#include <string>
#include <vector>

#include "commands/menu_table.h"
#include "commands/settings.h"

struct CatalogueItem {
    const Action* action;
    unsigned short id;   // 0 for a hot key
    std::string path;    // "Pump/Sale/Extended"; "" for a hot key
    char key;            // the hot key that does the same ('R'), or 0
};

// Every menu command item in menu order, then the 11 hot keys (path "", id 0).
const std::vector<CatalogueItem>& Catalogue();

// How a name on the command line is matched: case and spaces do not count, nor "&".
std::string NormalisedName(const std::string& name);

// The item a name means: a path, a menu id ("32873") or "key:R". nullptr when none.
const CatalogueItem* FindCommand(const std::string& name);

// Up to `most` paths that come closest to an unknown name, best first.
std::vector<std::string> ClosestPaths(const std::string& name, int most);

// The texts `item` would send with `settings` (a price series gives one per grade),
// each with its reply flag.
struct PlannedMessage {
    std::string text;
    int reply;
};
std::vector<PlannedMessage> PlannedMessages(const CatalogueItem& item, const ConsoleSettings& settings);

// True for items that change a console setting (pump, preset, price base, COM port, baud rate).
bool IsSetting(const CatalogueItem& item);
