// Naming a request as the console's own catalogue would send it: the inverse of
// `list`. Built once from every catalogue text for pumps 1..32 at the settings in
// force; a text the catalogue cannot make stays unnamed.
#pragma once

#include <string>
#include <unordered_map>

#include "commands/settings.h"

struct CommandName {
    std::string path;  // "Pump/Sale/Extended"
    int pump = 0;      // 7; 0 when the text is the same for every pump
    int reply = 0;     // 1 when the console waits for a framed reply after the ACK
};

class CommandNames {
public:
    // The catalogue's texts at the console's defaults but for `presetAmount` and
    // `priceBase`, which the texts of some commands carry.
    CommandNames(int presetAmount, int priceBase);
    // Every text of every menu command for pumps 1..32 with `settings`' preset and
    // price base.
    explicit CommandNames(const ConsoleSettings& settings);
    // The command that sends `text`, or nullptr.
    const CommandName* Find(const std::string& text) const;
    size_t size() const { return byText_.size(); }

private:
    std::unordered_map<std::string, CommandName> byText_;
};
