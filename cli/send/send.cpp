// list and send: the catalogue with the texts it would send, and commands run in
// order, one transaction per message, as the console runs them.
#include <algorithm>
#include <cstdio>

#include "commands/command_lookup.h"
#include "cli/send/send.h"
#include "outputs/json_line.h"
#include "outputs/chosen_outputs.h"
#include "outputs/summaries.h"
#include "events/stop.h"
#include "events/sent_exchange.h"
#include "events/tally.h"
#include "commands/names.h"
#include "events/trace_text.h"
#include "events/verdicts.h"
#include "commands/dispatch.h"
#include "commands/menu_table.h"
#include "link/frame.h"
#include "link/transaction.h"

namespace {

std::string KeyName(char key) { return std::string("key:") + key; }

// The hot key's own label from the command table ("Sale Read").
std::string HotKeyLabel(char key) {
    const HotKey* hot = FindHotKey(static_cast<unsigned char>(key));
    return hot != nullptr ? hot->label : "";
}

// What a setting item stores, in the console's words.
std::string SettingText(const Action& action) {
    switch (action.kind) {
        case ACTION_PUMP: return "pump " + std::to_string(action.a);
        case ACTION_PRESET_AMOUNT: {
            char amount[32];
            std::snprintf(amount, sizeof amount, "preset amount %.2f", action.a / 100.0);
            return amount;
        }
        case ACTION_PRICE_BASE: return "price base " + std::to_string(action.a);
        case ACTION_COM_PORT: return "COM port " + std::to_string(action.a) + " (used at Restart)";
        case ACTION_BAUD_RATE: return "baud rate " + std::to_string(action.a) + " (used at Restart)";
        default: return "";
    }
}


}  // namespace

int CheckCommands(const std::vector<std::string>& names, bool yes, std::vector<const CatalogueItem*>& items) {
    items.clear();
    int refused = 0;
    for (const std::string& name : names) {
        RawMessage raw;
        std::string error;
        RawForm form = ParseRawMessage(name, raw, error);
        if (form != RAW_NOT) {
            // A message text as it stands: nullptr in `items`.
            if (form == RAW_BAD) {
                std::fprintf(stderr, "zantrox-cli: %s: %s\n", name.c_str(), error.c_str());
                ++refused;
            } else {
                items.push_back(nullptr);
            }
            continue;
        }
        const CatalogueItem* item = FindCommand(name);
        if (item == nullptr) {
            std::fprintf(stderr, "zantrox-cli: %s\n", UnknownCommandText(name).c_str());
            ++refused;
            continue;
        }
        const char* reason = nullptr;
        switch (item->action->kind) {
            case ACTION_RESTART:
                reason = "is refused on the command line: the port is opened once, from --port and --baud";
                break;
            case ACTION_EXIT: reason = "is refused on the command line: there is no window to close"; break;
            case ACTION_TOGGLE_LOOP:
                reason = "(Loop on Status) is refused on the command line: use 'send --repeat N key:S'";
                break;
            case ACTION_PLACEHOLDER: reason = PlaceholderText; break;
            case ACTION_CONFIRMED_MESSAGE:
                if (!yes) reason = "asks \"ARE YOU SURE?\" in the console: give --yes to send it";
                break;
            default: break;
        }
        if (reason != nullptr) {
            std::fprintf(stderr, "zantrox-cli: %s: %s\n", name.c_str(), reason);
            ++refused;
            continue;
        }
        if (item->action->kind == ACTION_NONE) {
            std::fprintf(stderr, "zantrox-cli: %s does nothing (as in the console)\n", name.c_str());
        }
        items.push_back(item);
    }
    if (refused > 0) {
        std::fprintf(stderr, "zantrox-cli: nothing was sent\n");
        return EXIT_USAGE;
    }
    return EXIT_ALL_OK;
}

int RunList(const PortOptions& options, bool json) {
    ConsoleSettings settings = Settings;
    settings.pumpNumber = options.pumpNumber;
    settings.presetAmount = options.presetAmount;
    settings.priceBase = options.priceBase;
    for (const CatalogueItem& item : Catalogue()) {
        std::vector<PlannedMessage> messages = PlannedMessages(item, settings);
        int reply = 0;
        for (const PlannedMessage& m : messages) reply |= m.reply;
        bool confirm = item.action->kind == ACTION_CONFIRMED_MESSAGE;
        bool placeholder = item.action->kind == ACTION_PLACEHOLDER;
        if (json) {
            JsonValue j;
            j["id"] = item.id != 0 ? JsonValue(item.id) : JsonValue(nullptr);
            j["path"] = item.id != 0 ? JsonValue(item.path) : JsonValue(nullptr);
            j["key"] = item.key != 0 ? JsonValue(std::string(1, item.key)) : JsonValue(nullptr);
            JsonValue sends = JsonValue::array();
            for (const PlannedMessage& m : messages) sends.push_back(m.text);
            j["sends"] = sends;
            j["reply"] = reply != 0;
            j["confirm"] = confirm;
            j["placeholder"] = placeholder;
            if (item.id == 0) j["label"] = HotKeyLabel(item.key);
            if (IsSetting(item)) j["setting"] = SettingText(*item.action);
            PutJsonLine(stdout, j);
            continue;
        }
        std::string flags;
        if (reply) flags += " reply";
        if (confirm) flags += " confirm";
        if (placeholder) flags += " placeholder";
        if (item.id != 0) {
            std::printf("%5u  %-48s %-5s", item.id, item.path.c_str(),
                        item.key != 0 ? KeyName(item.key).c_str() : "");
        } else {
            std::printf("%5s  %-48s %-5s", "", HotKeyLabel(item.key).c_str(), KeyName(item.key).c_str());
        }
        if (IsSetting(item)) std::printf(" sets %s", SettingText(*item.action).c_str());
        for (size_t i = 0; i < messages.size(); ++i) {
            std::printf("%s%s", i == 0 ? " " : " | ", TraceText(messages[i].text).c_str());
        }
        std::printf("%s%s\n", messages.empty() ? "" : "  ", flags.empty() ? "" : ("(" + flags.substr(1) + ")").c_str());
    }
    return EXIT_ALL_OK;
}

int RunSend(const SendOptions& options) {
    std::vector<const CatalogueItem*> items;
    if (CheckCommands(options.commands, options.yes, items) != EXIT_ALL_OK) return EXIT_USAGE;
    const CommandNames names(options.line.presetAmount, options.line.priceBase);
    LineStream stream({options.line.port.empty() ? "COM1" : options.line.port}, LineClock());
    ChosenOutputs outputs(options.line.outputs, options.line.json, FORM_SENT, stream.clock(), &names);
    if (!outputs.Open(stream.lines())) return EXIT_USAGE;
    OpenedPort port;
    int opened = OpenPort(options.line, port);
    if (opened != EXIT_ALL_OK) return opened;
    InstallStopHandler();

    SendSummaryOutput summary(outputs.Summary(), PortLabel(port));
    outputs.AddTerminal(stream);
    if (!outputs.Quiet()) stream.Add(summary);
    outputs.AddCapture(stream);
    bool first = true;
    for (int round = 0; round < options.repeat && !StopRequested(); ++round) {
        for (size_t i = 0; i < items.size() && !StopRequested(); ++i) {
            if (items[i] == nullptr) {
                RawMessage raw;
                std::string error;
                ParseRawMessage(options.commands[i], raw, error);
                if (!first) PauseUnlessStopped(options.intervalMs);
                if (StopRequested()) break;
                first = false;
                SendThrough(stream, options.commands[i], raw.text, raw.reply ? 1 : 0, Settings.pumpNumber);
                continue;
            }
            const CatalogueItem& item = *items[i];
            if (IsSetting(item)) {
                // Exactly what the menu item does: the commands after it use the value.
                RunAction(*item.action);
                continue;
            }
            // The texts are made when the command's turn comes, with the settings then.
            for (const PlannedMessage& message : PlannedMessages(item, Settings)) {
                if (!first) PauseUnlessStopped(options.intervalMs);
                if (StopRequested()) break;
                first = false;
                SendThrough(stream, options.commands[i], message.text, message.reply, Settings.pumpNumber);
            }
        }
    }
    ClosePort();
    StreamEnd end;
    end.stopped = StopRequested();
    int finished = stream.Finish(end);
    return summary.AllOk() && finished == EXIT_ALL_OK ? EXIT_ALL_OK : EXIT_FAILED;
}
