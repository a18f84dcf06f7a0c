// Host helper of the Wine test: turns the command table into the plans the test
// posts to the Windows console, each step with the message texts that must then
// arrive on the wire. The texts are made here from the table's formats and the
// documented builder layouts, so the test has no list of ids of its own.
//
// Output: one step per line, "menu<TAB>ID[<TAB>TEXT...]" or "key<TAB>VK[<TAB>TEXT...]",
// each TEXT escaped as the simulator's log writes it (\\ for a backslash, \xHH for
// a byte outside 0x20..0x7E).
//
//   wine_expect sends      every binding that sends, in table order, then the
//                          sending hot keys (default settings)
//   wine_expect quiet      every binding that neither sends, changes a setting
//                          nor opens a box, the unbound ids between the bound
//                          ones, and keys that are no hot keys
//   wine_expect settings   every pump, preset amount and price base entry, each
//                          followed by a probe whose text shows the new value;
//                          ends with the defaults restored
//   wine_expect ids KIND   the ids of the entries of one kind: confirm,
//                          placeholder, loop-key

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands/menu_table.h"
#include "commands/settings.h"

namespace {

struct Values {
    int pump = DEFAULT_PUMP_NUMBER;
    int preset = DEFAULT_PRESET_AMOUNT;
    int price = DEFAULT_PRICE_BASE;
};

std::string Escape(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : text) {
        if (b == '\\') {
            out += "\\\\";
        } else if (b >= 0x20 && b <= 0x7E) {
            out += static_cast<char>(b);
        } else {
            out += "\\x";
            out += hex[b >> 4];
            out += hex[b & 0x0F];
        }
    }
    return out;
}

template <typename... Args>
std::string Format(const char* format, Args... args) {
    char text[2000];
    int n = std::snprintf(text, sizeof text, format, args...);
    if (n < 0 || n >= static_cast<int>(sizeof text)) return "<too long>";
    return std::string(text, static_cast<size_t>(n));
}

// The texts an action puts on the wire, in order; empty when it sends nothing.
std::vector<std::string> Texts(const Action& action, const Values& v) {
    std::vector<std::string> texts;
    switch (action.kind) {
        case ACTION_MESSAGE:
        case ACTION_CONFIRMED_MESSAGE:
            switch (action.args) {
                case ARGS_NONE: texts.push_back(action.format); break;
                case ARGS_PUMP: texts.push_back(Format(action.format, v.pump)); break;
                case ARGS_PUMP_PRESET:
                    texts.push_back(Format(action.format, v.pump, v.preset, 10 * v.preset));
                    break;
                case ARGS_PUMP_CONSTANTS:
                    texts.push_back(Format(action.format, v.pump, action.a, action.b));
                    break;
                case ARGS_PUMP_ZERO_VOLUME:
                    texts.push_back(Format(action.format, v.pump, 0, 10 * v.preset));
                    break;
                case ARGS_PUMP_PRICE:
                    texts.push_back(Format(action.format, v.pump, v.price, v.price - 100));
                    break;
                case ARGS_PUMP_RECEIPT:
                    texts.push_back(Format(action.format, v.pump, ReceiptText));
                    break;
            }
            break;
        case ACTION_PRESET_AUTHORIZE: {
            char hose = static_cast<char>(action.b);
            char kind = static_cast<char>(action.c);
            if (action.a == 6) {
                texts.push_back(Format("A%02d%c%c%06d%06d", v.pump, hose, kind, v.preset, 10 * v.preset));
            } else {
                texts.push_back(Format("A%02d%cE%c%010d%010d", v.pump, hose, kind, v.preset, 10 * v.preset));
            }
            break;
        }
        case ACTION_PRICE_SERIES:
            for (int grade = 1; grade <= action.a; ++grade) {
                int first = v.price + 1000 * (grade - 1) + action.b;
                texts.push_back(Format("J%02d%1dW%06d%06d", v.pump, grade, first, first - 100));
            }
            break;
        default: break;
    }
    return texts;
}

bool Sends(ActionKind kind) {
    return kind == ACTION_MESSAGE || kind == ACTION_PRESET_AUTHORIZE || kind == ACTION_PRICE_SERIES;
}

void PrintStep(const char* what, unsigned id, const std::vector<std::string>& texts) {
    std::printf("%s\t%u", what, id);
    for (const std::string& text : texts) std::printf("\t%s", Escape(text).c_str());
    std::printf("\n");
}

int Sends() {
    Values v;
    for (int i = 0; i < MenuTableLength; ++i) {
        const MenuEntry& e = MenuTable[i];
        if (e.kind == MENU_ITEM && Sends(e.action.kind)) PrintStep("menu", e.id, Texts(e.action, v));
    }
    for (int i = 0; i < HotKeyCount; ++i) {
        const HotKey& k = HotKeyTable[i];
        if (Sends(k.action.kind)) PrintStep("key", k.keyCode, Texts(k.action, v));
    }
    return 0;
}

int Quiet() {
    const std::vector<std::string> none;
    unsigned low = 0xFFFF;
    unsigned high = 0;
    for (int i = 0; i < MenuTableLength; ++i) {
        const MenuEntry& e = MenuTable[i];
        if (e.kind != MENU_ITEM) continue;
        if (e.action.kind == ACTION_NONE) PrintStep("menu", e.id, none);
        // The range of the bound ids, bar the two far-off ones (105 and 65535).
        if (e.id > 30000 && e.id < 0xFFFF) {
            if (e.id < low) low = e.id;
            if (e.id > high) high = e.id;
        }
    }
    for (unsigned id = low; id <= high; ++id) {
        if (FindMenuItem(static_cast<unsigned short>(id)) == nullptr) PrintStep("menu", id, none);
    }
    // Letters, main-row digits, keypad digits and function keys that are no hot key.
    for (unsigned vk = 0x30; vk <= 0x7B; ++vk) {
        bool key = (vk <= 0x39) || (vk >= 0x41 && vk <= 0x5A) || (vk >= 0x60 && vk <= 0x69) ||
                   (vk >= 0x70);
        if (key && FindHotKey(static_cast<unsigned short>(vk)) == nullptr) PrintStep("key", vk, none);
    }
    return 0;
}

// The first entry (a menu item, or failing that a hot key) whose message shows the
// value an entry of `kind` sets.
bool FindProbe(ActionKind kind, const char*& what, unsigned& id, Action& action) {
    MessageArgs wanted = kind == ACTION_PUMP           ? ARGS_PUMP
                         : kind == ACTION_PRESET_AMOUNT ? ARGS_PUMP_PRESET
                                                        : ARGS_PUMP_PRICE;
    for (int i = 0; i < HotKeyCount; ++i) {
        const HotKey& k = HotKeyTable[i];
        if (k.action.kind == ACTION_MESSAGE && k.action.args == wanted) {
            what = "key";
            id = k.keyCode;
            action = k.action;
            return true;
        }
    }
    for (int i = 0; i < MenuTableLength; ++i) {
        const MenuEntry& e = MenuTable[i];
        if (e.kind == MENU_ITEM && e.action.kind == ACTION_MESSAGE && e.action.args == wanted) {
            what = "menu";
            id = e.id;
            action = e.action;
            return true;
        }
    }
    return false;
}

int SettingsPlan() {
    const std::vector<std::string> none;
    Values v;
    const ActionKind kinds[] = {ACTION_PUMP, ACTION_PRESET_AMOUNT, ACTION_PRICE_BASE};
    const int defaults[] = {DEFAULT_PUMP_NUMBER, DEFAULT_PRESET_AMOUNT, DEFAULT_PRICE_BASE};
    for (int k = 0; k < 3; ++k) {
        const char* probeWhat = nullptr;
        unsigned probeId = 0;
        Action probe{};
        if (!FindProbe(kinds[k], probeWhat, probeId, probe)) {
            std::fprintf(stderr, "wine_expect: no message shows setting kind %d\n", kinds[k]);
            return 1;
        }
        unsigned defaultId = 0;
        for (int i = 0; i < MenuTableLength; ++i) {
            const MenuEntry& e = MenuTable[i];
            if (e.kind != MENU_ITEM || e.action.kind != kinds[k]) continue;
            int& value = kinds[k] == ACTION_PUMP ? v.pump : kinds[k] == ACTION_PRESET_AMOUNT ? v.preset : v.price;
            value = e.action.a;
            if (value == defaults[k]) defaultId = e.id;
            PrintStep("menu", e.id, none);
            PrintStep(probeWhat, probeId, Texts(probe, v));
        }
        if (defaultId == 0) {
            std::fprintf(stderr, "wine_expect: no entry sets the default of kind %d\n", kinds[k]);
            return 1;
        }
        PrintStep("menu", defaultId, none);
        v = Values();
    }
    return 0;
}

int Ids(const char* kind) {
    if (std::strcmp(kind, "loop-key") == 0) {
        for (int i = 0; i < HotKeyCount; ++i) {
            if (HotKeyTable[i].action.kind == ACTION_TOGGLE_LOOP) std::printf("%u\n", HotKeyTable[i].keyCode);
        }
        return 0;
    }
    ActionKind wanted;
    if (std::strcmp(kind, "confirm") == 0) {
        wanted = ACTION_CONFIRMED_MESSAGE;
    } else if (std::strcmp(kind, "placeholder") == 0) {
        wanted = ACTION_PLACEHOLDER;
    } else {
        return 2;
    }
    Values v;
    for (int i = 0; i < MenuTableLength; ++i) {
        const MenuEntry& e = MenuTable[i];
        if (e.kind == MENU_ITEM && e.action.kind == wanted) PrintStep("menu", e.id, Texts(e.action, v));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "sends") == 0) return Sends();
    if (argc == 2 && std::strcmp(argv[1], "quiet") == 0) return Quiet();
    if (argc == 2 && std::strcmp(argv[1], "settings") == 0) return SettingsPlan();
    if (argc == 3 && std::strcmp(argv[1], "ids") == 0) {
        int result = Ids(argv[2]);
        if (result != 2) return result;
    }
    std::fprintf(stderr, "usage: wine_expect sends | quiet | settings | ids confirm|placeholder|loop-key\n");
    return 2;
}
