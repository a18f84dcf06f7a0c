// list and send: the catalogue with the texts it would send, and commands run in
// order, one transaction per message, as the console runs them.
#include <algorithm>
#include <cstdio>


#include "cli/commands.h"
#include "cli/json_line.h"
#include "cli/tally.h"
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

void PrintSummary(std::FILE* out, const OpenedPort& port, const Tally& t, const std::vector<double>& ms,
                  bool stopped) {
    std::fprintf(out, "--- %s statistics%s ---\n", PortLabel(port).c_str(), stopped ? ", stopped by Ctrl+C" : "");
    std::fprintf(out, "%d sent, %d ACKed, %d replies OK, %d checksum errors, %d incomplete, %d no ACK", t.Sent(), t.acked,
                 t.repliesOk, t.Count(VERDICT_CHECKSUM_ERROR), t.Count(VERDICT_INCOMPLETE), t.Count(VERDICT_NO_ACK));
    // Any other way a transaction failed, by its verdict's name.
    for (const auto& f : t.failures) {
        if (f.first != VERDICT_CHECKSUM_ERROR && f.first != VERDICT_INCOMPLETE && f.first != VERDICT_NO_ACK) {
            std::fprintf(out, ", %d %s", f.second, VerdictName(f.first));
        }
    }
    std::fprintf(out, "\n");
    if (!ms.empty()) {
        std::vector<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        std::fprintf(out, "time min/median/max = %.1f/%.1f/%.1f ms\n", sorted.front(), Percentile(sorted, 0.5),
                     sorted.back());
    }
}

}  // namespace

int CheckCommands(const std::vector<std::string>& names, bool yes, std::vector<const CatalogueItem*>& items) {
    items.clear();
    int refused = 0;
    for (const std::string& name : names) {
        const CatalogueItem* item = FindCommand(name);
        if (item == nullptr) {
            std::fprintf(stderr, "zantrox-cli: unknown command '%s'", name.c_str());
            std::vector<std::string> close = ClosestPaths(name, 3);
            for (size_t i = 0; i < close.size(); ++i) {
                std::fprintf(stderr, "%s'%s'", i == 0 ? "; did you mean " : i + 1 == close.size() ? " or " : ", ",
                             close[i].c_str());
            }
            std::fprintf(stderr, "%s\n", close.empty() ? "" : "? ('zantrox-cli list' shows them all)");
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
    OpenedPort port;
    int opened = OpenPort(options.line, port);
    if (opened != EXIT_ALL_OK) return opened;
    InstallStopHandler();
    std::FILE* summaryOut = options.line.json ? stderr : stdout;

    Tally tally;
    std::vector<double> ms;
    for (int round = 0; round < options.repeat && !StopRequested(); ++round) {
        for (size_t i = 0; i < items.size() && !StopRequested(); ++i) {
            const CatalogueItem& item = *items[i];
            if (IsSetting(item)) {
                // Exactly what the menu item does: the commands after it use the value.
                RunAction(*item.action);
                continue;
            }
            // The texts are made when the command's turn comes, with the settings then.
            for (const PlannedMessage& message : PlannedMessages(item, Settings)) {
                if (!ms.empty()) PauseUnlessStopped(options.intervalMs);
                if (StopRequested()) break;
                TransactionResult result =
                    RunOneTransaction(options.commands[i], message.text, message.reply, Settings.pumpNumber);
                // One ended by Ctrl+C is shown, but says nothing about the line.
                if (result.verdict != VERDICT_STOPPED) {
                    tally.Add(result.verdict, result.ack, result.replyExpected, !result.frame.empty());
                    ms.push_back(result.ms);
                }
                if (options.line.json) {
                    std::printf("%s\n", TransactionJson(result).c_str());
                } else {
                    PrintTransaction(stdout, result);
                }
                std::fflush(stdout);
            }
        }
    }
    ClosePort();
    PrintSummary(summaryOut, port, tally, ms, StopRequested());
    return tally.AllOk() ? EXIT_ALL_OK : EXIT_FAILED;
}
