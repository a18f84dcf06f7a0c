#include "commands/dispatch.h"

#include "commands/settings.h"
#include "link/transaction.h"

const char ConfirmText[] = "ARE YOU SURE?";
const char ConfirmCaption[] = "Info";
const char PlaceholderText[] = "Not Coded Yet";
const char PlaceholderCaption[] = "info";

namespace {

ConsoleUi* consoleUi = nullptr;

// The text of a message binding; the table's formats are printf formats.
int FormatBoundMessage(const Action& action, const ConsoleSettings& s, char* out, int size) {
    switch (action.args) {
        case ARGS_NONE: return FormatText(out, size, "%s", action.format);
        case ARGS_PUMP_PRESET:
            return FormatText(out, size, action.format, s.pumpNumber, s.presetAmount, 10 * s.presetAmount);
        case ARGS_PUMP_CONSTANTS: return FormatText(out, size, action.format, s.pumpNumber, action.a, action.b);
        case ARGS_PUMP_ZERO_VOLUME: return FormatText(out, size, action.format, s.pumpNumber, 0, 10 * s.presetAmount);
        case ARGS_PUMP_PRICE:
            return FormatText(out, size, action.format, s.pumpNumber, s.priceBase, s.priceBase - 100);
        case ARGS_PUMP_RECEIPT: return FormatText(out, size, action.format, s.pumpNumber, ReceiptText);
        case ARGS_PUMP: return FormatText(out, size, action.format, s.pumpNumber);
    }
    return -1;
}

void SendBoundMessage(const Action& action) {
    char text[MESSAGE_BYTES];
    if (FormatBoundMessage(action, Settings, text, sizeof text) >= 0) SendMessageText(action.reply, "%s", text);
}

}  // namespace

void SetConsoleUi(ConsoleUi* ui) { consoleUi = ui; }

int ActionMessageCount(const Action& action) {
    switch (action.kind) {
        case ACTION_MESSAGE:
        case ACTION_CONFIRMED_MESSAGE:
        case ACTION_PRESET_AUTHORIZE: return 1;
        case ACTION_PRICE_SERIES: return action.a;
        default: return 0;
    }
}

int FormatActionMessage(const Action& action, const ConsoleSettings& settings, int index, char* out, int size,
                        int* reply) {
    if (index < 0 || index >= ActionMessageCount(action) || size <= 0) return -1;
    switch (action.kind) {
        case ACTION_PRESET_AUTHORIZE:
            *reply = 0;
            return FormatPresetAuthorize(settings, action.a, static_cast<char>(action.b),
                                         static_cast<char>(action.c), out, size);
        case ACTION_PRICE_SERIES:
            *reply = 0;
            return FormatPriceGrade(settings, index + 1, action.b, out, size);
        default:
            *reply = action.reply;
            return FormatBoundMessage(action, settings, out, size);
    }
}

void RunAction(const Action& action) {
    switch (action.kind) {
        case ACTION_NONE: break;
        case ACTION_COM_PORT: Settings.comPort = action.a; break;
        case ACTION_BAUD_RATE: Settings.baudRate = action.a; break;
        case ACTION_PUMP: Settings.pumpNumber = action.a; break;
        case ACTION_PRESET_AMOUNT: Settings.presetAmount = action.a; break;
        case ACTION_PRICE_BASE: Settings.priceBase = action.a; break;
        case ACTION_RESTART: (void)OpenConfiguredPort(); break;
        case ACTION_EXIT:
            if (consoleUi != nullptr) consoleUi->CloseMainWindow();
            break;
        case ACTION_MESSAGE: SendBoundMessage(action); break;
        case ACTION_CONFIRMED_MESSAGE:
            if (consoleUi != nullptr && consoleUi->AskYesNo(ConfirmText, ConfirmCaption) == 1) {
                SendBoundMessage(action);
            }
            break;
        case ACTION_PRESET_AUTHORIZE:
            BuildPresetAuthorize(action.a, static_cast<char>(action.b), static_cast<char>(action.c));
            break;
        case ACTION_PRICE_SERIES: BuildPriceSeries(action.a, action.b); break;
        case ACTION_PLACEHOLDER:
            if (consoleUi != nullptr) consoleUi->Inform(PlaceholderText, PlaceholderCaption);
            break;
        case ACTION_TOGGLE_LOOP: looping.store(looping.load() == 0 ? 1 : 0); break;
    }
}

void DispatchMenuCommand(unsigned short id) {
    const MenuEntry* entry = FindMenuItem(id);
    if (entry != nullptr) {
        RunAction(entry->action);
        if (entry->action.kind == ACTION_EXIT) return;
    }
    RequestRepaint();
}

void DispatchHotKey(unsigned short keyCode) {
    const HotKey* key = FindHotKey(keyCode);
    if (key != nullptr) RunAction(key->action);
}
