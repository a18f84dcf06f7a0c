// send and list: the command table named on the command line, sent or shown.
#pragma once

#include <string>
#include <vector>

#include "commands/catalogue.h"
#include "listen/port_options.h"

struct SendOptions {
    PortOptions line;
    std::vector<std::string> commands;
    int repeat = 1;
    int intervalMs = 250;
    bool yes = false;
};

// Looks every name up and refuses, on stderr, what the command line does not run:
// unknown names (with the closest paths), Restart and Exit, the loop toggle,
// placeholders ("Not Coded Yet") and, without `yes`, commands the console
// confirms first. Returns EXIT_ALL_OK with `items` filled (nullptr for a message
// text given as it stands, text:TEXT or text+:TEXT), or EXIT_USAGE.
int CheckCommands(const std::vector<std::string>& names, bool yes, std::vector<const CatalogueItem*>& items);

int RunList(const PortOptions& settings, bool json);
int RunSend(const SendOptions& options);
