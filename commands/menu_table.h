// The operator's vocabulary as one data table: the menu tree in order, each command
// item with its binding, and the hot keys. The Linux menu bar and the Windows menu
// resource are both made from this table; there is no other list of ids.
#pragma once

enum ActionKind : unsigned char {
    ACTION_NONE,               // repaint only
    ACTION_COM_PORT,           // comPort = a
    ACTION_BAUD_RATE,          // baudRate = a
    ACTION_PUMP,               // pumpNumber = a
    ACTION_PRESET_AMOUNT,      // presetAmount = a
    ACTION_PRICE_BASE,         // priceBase = a
    ACTION_RESTART,            // reopen the configured port
    ACTION_EXIT,               // close the main window
    ACTION_MESSAGE,            // send step with format, args and reply
    ACTION_CONFIRMED_MESSAGE,  // "ARE YOU SURE?" first, then the send step
    ACTION_PRESET_AUTHORIZE,   // BuildPresetAuthorize(a = digits, b = hose, c = kind)
    ACTION_PRICE_SERIES,       // BuildPriceSeries(a = count, b = offset)
    ACTION_PLACEHOLDER,        // "Not Coded Yet"
    ACTION_TOGGLE_LOOP,        // flip the status loop
};

// What a message format is filled with.
enum MessageArgs : unsigned char {
    ARGS_NONE,               // the text as it stands
    ARGS_PUMP,               // pump
    ARGS_PUMP_PRESET,        // pump, presetAmount, 10 x presetAmount
    ARGS_PUMP_CONSTANTS,     // pump, a, b
    ARGS_PUMP_ZERO_VOLUME,   // pump, 0, 10 x presetAmount
    ARGS_PUMP_PRICE,         // pump, priceBase, priceBase - 100
    ARGS_PUMP_RECEIPT,       // pump, the fifteen-line receipt text
};

struct Action {
    ActionKind kind;
    const char* format;  // message kinds only
    MessageArgs args;
    unsigned char reply;  // the replyExpected value of the send step
    int a;
    int b;
    int c;
};

enum MenuEntryKind : unsigned char {
    MENU_POPUP,
    MENU_ITEM,
};

// One row of the tree in display order. A pop-up holds the rows after it that are
// deeper than itself; depth 0 rows stand on the menu bar.
struct MenuEntry {
    unsigned char depth;
    MenuEntryKind kind;
    const char* label;   // exact, "&" mnemonic markers included
    unsigned short id;   // command items only
    Action action;
};

struct HotKey {
    unsigned short keyCode;  // Windows virtual-key code; for letters and digits, the character itself
    const char* label;       // what the key does, in the operator's words ("Sale Read")
    Action action;
};

enum {
    MENU_RESOURCE_ID = 109,
    MENU_ID_EXIT = 105,
};

extern const MenuEntry MenuTable[];
extern const int MenuTableLength;
extern const HotKey HotKeyTable[];
extern const int HotKeyCount;

// The fixed receipt text of "Print" > "Receipt".
extern const char ReceiptText[];

// The command item with `id`, or nullptr when no item has it.
const MenuEntry* FindMenuItem(unsigned short id);

// The hot key with `keyCode`, or nullptr.
const HotKey* FindHotKey(unsigned short keyCode);
