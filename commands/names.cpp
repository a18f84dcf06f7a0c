#include "commands/names.h"

#include "commands/catalogue.h"

CommandNames::CommandNames(const ConsoleSettings& settings) {
    ConsoleSettings at = settings;
    for (const CatalogueItem& item : Catalogue()) {
        if (item.id == 0 || IsSetting(item)) continue;  // hot keys repeat menu items
        for (int pump = 1; pump <= 32; ++pump) {
            at.pumpNumber = pump;
            for (const PlannedMessage& message : PlannedMessages(item, at)) {
                auto found = byText_.find(message.text);
                if (found == byText_.end()) {
                    byText_.emplace(message.text, CommandName{item.path, pump, message.reply});
                } else if (found->second.path == item.path && found->second.pump != pump) {
                    found->second.pump = 0;  // the same text for another pump: it names none
                }
                // A text another, earlier item also sends keeps the earlier name.
            }
        }
    }
}

const CommandName* CommandNames::Find(const std::string& text) const {
    auto found = byText_.find(text);
    return found == byText_.end() ? nullptr : &found->second;
}

CommandNames::CommandNames(int presetAmount, int priceBase)
    : CommandNames(ConsoleSettings{DEFAULT_PUMP_NUMBER, presetAmount, priceBase, DEFAULT_COM_PORT, DEFAULT_BAUD_RATE}) {}
