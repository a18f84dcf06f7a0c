#include "commands/dispatch.h"

#include "commands/settings.h"
#include "link/transaction.h"

const char ConfirmText[] = "ARE YOU SURE?";
const char ConfirmCaption[] = "Info";
const char PlaceholderText[] = "Not Coded Yet";
const char PlaceholderCaption[] = "info";

namespace {

ConsoleUi* consoleUi = nullptr;

void SendBoundMessage(const Action& action) {
    const ConsoleSettings& s = Settings;
    switch (action.args) {
        case ARGS_NONE:
            SendMessageText(action.reply, "%s", action.format);
            break;
        case ARGS_PUMP_PRESET:
            SendMessageText(action.reply, action.format, s.pumpNumber, s.presetAmount, 10 * s.presetAmount);
            break;
        case ARGS_PUMP_CONSTANTS:
            SendMessageText(action.reply, action.format, s.pumpNumber, action.a, action.b);
            break;
        case ARGS_PUMP_ZERO_VOLUME:
            SendMessageText(action.reply, action.format, s.pumpNumber, 0, 10 * s.presetAmount);
            break;
        case ARGS_PUMP_PRICE:
            SendMessageText(action.reply, action.format, s.pumpNumber, s.priceBase, s.priceBase - 100);
            break;
        case ARGS_PUMP_RECEIPT:
            SendMessageText(action.reply, action.format, s.pumpNumber, ReceiptText);
            break;
        case ARGS_PUMP:
            SendMessageText(action.reply, action.format, s.pumpNumber);
            break;
    }
}

}  // namespace

void SetConsoleUi(ConsoleUi* ui) { consoleUi = ui; }

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
