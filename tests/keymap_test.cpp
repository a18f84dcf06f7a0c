// The Linux front end's pure pieces: key presses as virtual-key codes, and the
// menu bar built from the command table.
#include <FL/Enumerations.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Menu_Item.H>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "commands/menu_table.h"
#include "console/linux/keymap.h"
#include "console/linux/menu_fltk.h"

namespace {

// ---- keys -------------------------------------------------------------------------

TEST(Keymap, LettersAreTheirCapitalWhateverShiftAndCapsLock) {
    for (char c = 'a'; c <= 'z'; ++c) {
        const unsigned short want = static_cast<unsigned short>(0x41 + (c - 'a'));
        const char lower[2] = {c, '\0'};
        const char upper[2] = {static_cast<char>(c - 'a' + 'A'), '\0'};
        EXPECT_EQ(want, VirtualKeyFor(c, lower)) << c;
        EXPECT_EQ(want, VirtualKeyFor(c, upper)) << c << " with Shift or Caps Lock";
        EXPECT_EQ(want, VirtualKeyFor(c, "")) << c << " with Ctrl (no text)";
        EXPECT_EQ(want, VirtualKeyFor(upper[0], upper)) << upper;
    }
}

TEST(Keymap, MainRowDigitsWithAndWithoutShift) {
    const char* shifted = ")!@#$%^&*(";
    for (int d = 0; d <= 9; ++d) {
        const char digit[2] = {static_cast<char>('0' + d), '\0'};
        const char symbol[2] = {shifted[d], '\0'};
        EXPECT_EQ(0x30 + d, VirtualKeyFor('0' + d, digit)) << d;
        EXPECT_EQ(0x30 + d, VirtualKeyFor('0' + d, symbol)) << d << " with Shift";
    }
}

TEST(Keymap, KeypadDigitsAreNumpadCodesOrTheirNumLockOffKeys) {
    for (int d = 0; d <= 9; ++d) {
        const char digit[2] = {static_cast<char>('0' + d), '\0'};
        EXPECT_EQ(0x60 + d, VirtualKeyFor(FL_KP + '0' + d, digit)) << "keypad " << d;
    }
    // A keypad digit that types nothing stands for its Num Lock off key.
    EXPECT_EQ(VK_CODE_INSERT, VirtualKeyFor(FL_KP + '0', ""));
    EXPECT_EQ(VK_CODE_END, VirtualKeyFor(FL_KP + '1', nullptr));
    EXPECT_EQ(VK_CODE_CLEAR, VirtualKeyFor(FL_KP + '5', ""));
    EXPECT_EQ(VK_CODE_PRIOR, VirtualKeyFor(FL_KP + '9', ""));
    // With Num Lock off FLTK reports those keys itself.
    EXPECT_EQ(VK_CODE_END, VirtualKeyFor(FL_End, ""));
    EXPECT_EQ(VK_CODE_CLEAR, VirtualKeyFor(0xff0b, ""));
    EXPECT_EQ(VK_CODE_HOME, VirtualKeyFor(FL_Home, ""));
    // The other keypad keys.
    EXPECT_EQ(VK_CODE_MULTIPLY, VirtualKeyFor(FL_KP + '*', "*"));
    EXPECT_EQ(VK_CODE_ADD, VirtualKeyFor(FL_KP + '+', "+"));
    EXPECT_EQ(VK_CODE_SUBTRACT, VirtualKeyFor(FL_KP + '-', "-"));
    EXPECT_EQ(VK_CODE_DECIMAL, VirtualKeyFor(FL_KP + '.', "."));
    EXPECT_EQ(VK_CODE_DIVIDE, VirtualKeyFor(FL_KP + '/', "/"));
    EXPECT_EQ(VK_CODE_RETURN, VirtualKeyFor(FL_KP_Enter, "\r"));
}

TEST(Keymap, FunctionKeys) {
    for (int n = 1; n <= 24; ++n) EXPECT_EQ(0x70 + n - 1, VirtualKeyFor(FL_F + n, "")) << "F" << n;
    EXPECT_EQ(VK_CODE_NONE, VirtualKeyFor(FL_F + 25, ""));  // X has F25 to F35; Windows stops at F24
}

TEST(Keymap, OtherKeys) {
    EXPECT_EQ(VK_CODE_ESCAPE, VirtualKeyFor(FL_Escape, "\x1b"));
    EXPECT_EQ(VK_CODE_RETURN, VirtualKeyFor(FL_Enter, "\r"));
    EXPECT_EQ(VK_CODE_BACK, VirtualKeyFor(FL_BackSpace, "\b"));
    EXPECT_EQ(VK_CODE_TAB, VirtualKeyFor(FL_Tab, "\t"));
    EXPECT_EQ(VK_CODE_SPACE, VirtualKeyFor(' ', " "));
    EXPECT_EQ(VK_CODE_DELETE, VirtualKeyFor(FL_Delete, ""));
    EXPECT_EQ(VK_CODE_LEFT, VirtualKeyFor(FL_Left, ""));
    EXPECT_EQ(VK_CODE_SHIFT, VirtualKeyFor(FL_Shift_L, ""));
    EXPECT_EQ(VK_CODE_SHIFT, VirtualKeyFor(FL_Shift_R, ""));
    EXPECT_EQ(VK_CODE_CONTROL, VirtualKeyFor(FL_Control_L, ""));
    EXPECT_EQ(VK_CODE_MENU, VirtualKeyFor(FL_Alt_L, ""));
    EXPECT_EQ(VK_CODE_CAPITAL, VirtualKeyFor(FL_Caps_Lock, ""));
    EXPECT_EQ(0xBA, VirtualKeyFor(';', ";"));
    EXPECT_EQ(0xBF, VirtualKeyFor('/', "/"));
    EXPECT_EQ(0xDE, VirtualKeyFor('\'', "'"));
    // A digit row that needs Shift for its digits (AZERTY): the digit it typed.
    EXPECT_EQ(0x31, VirtualKeyFor('&', "1"));
    EXPECT_EQ(VK_CODE_NONE, VirtualKeyFor('&', "&"));
    // Keys without a code.
    EXPECT_EQ(VK_CODE_NONE, VirtualKeyFor(0x6c6, "\xd1\x84"));  // a Cyrillic letter
    EXPECT_EQ(VK_CODE_NONE, VirtualKeyFor(0xe9, "\xc3\xa9"));   // e acute
    EXPECT_EQ(VK_CODE_NONE, VirtualKeyFor(FL_Volume_Up, ""));
    EXPECT_EQ(VK_CODE_NONE, VirtualKeyFor(0, nullptr));
    EXPECT_EQ(VK_CODE_NONE, VirtualKeyFor(0, "ab"));
}

// Every hot key can be typed, and only the keys the legend names are hot keys:
// not the keypad, the function keys, the other letters or the digits 4 to 9.
TEST(Keymap, OnlyTheLegendsKeysReachHotKeys) {
    const std::string legend = "SLARCPM0123";
    for (char c : legend) {
        const int key = c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
        const char text[2] = {c, '\0'};
        EXPECT_NE(nullptr, FindHotKey(VirtualKeyFor(key, text))) << c;
    }
    std::vector<std::pair<int, std::string>> others;
    for (char c = 'a'; c <= 'z'; ++c) {
        if (legend.find(static_cast<char>(c - 'a' + 'A')) == std::string::npos) others.push_back({c, {c}});
    }
    for (char c = '4'; c <= '9'; ++c) others.push_back({c, {c}});
    for (int d = 0; d <= 9; ++d) {
        others.push_back({FL_KP + '0' + d, {static_cast<char>('0' + d)}});
        others.push_back({FL_KP + '0' + d, ""});
    }
    for (int key : {FL_Home, FL_End, FL_Up, FL_Down, FL_Left, FL_Right, FL_Page_Up, FL_Page_Down, FL_Insert,
                    FL_Delete, 0xff0b, FL_KP_Enter, FL_Escape, FL_Enter, FL_Shift_L, FL_Alt_L}) {
        others.push_back({key, ""});
    }
    for (int n = 1; n <= 24; ++n) others.push_back({FL_F + n, ""});
    for (const auto& other : others) {
        EXPECT_EQ(nullptr, FindHotKey(VirtualKeyFor(other.first, other.second.c_str())))
            << "key 0x" << std::hex << other.first << " text '" << other.second << "'";
    }
}

// ---- the menu bar ----------------------------------------------------------------

std::vector<unsigned short> picked;
void RecordPick(Fl_Widget*, void* data) {
    picked.push_back(static_cast<unsigned short>(reinterpret_cast<std::uintptr_t>(data)));
}

class MenuBar : public ::testing::Test {
protected:
    void SetUp() override {
        count = BuildMenuBarItems(items, MENU_BAR_ITEMS, RecordPick);
        ASSERT_GT(count, 0);
    }
    Fl_Menu_Item items[MENU_BAR_ITEMS];
    int count = 0;
};

// Walks one level of an FLTK menu and below, noting each entry's depth.
void Walk(const Fl_Menu_Item* menu, int depth, std::vector<std::pair<int, const Fl_Menu_Item*>>& out) {
    for (const Fl_Menu_Item* m = menu; m->text != nullptr; m = m->next()) {
        out.push_back({depth, m});
        if (m->submenu()) Walk(m + 1, depth + 1, out);
    }
}

TEST_F(MenuBar, HasTheTreeOfTheCommandTable) {
    // 43 pop-ups, 204 command items, an end marker per pop-up and one for the bar.
    EXPECT_EQ(43 + 204 + 43 + 1, count);
    EXPECT_EQ(count, items[0].size());  // FLTK's own count, submenus included

    std::vector<std::pair<int, const Fl_Menu_Item*>> walked;
    Walk(items, 0, walked);
    ASSERT_EQ(static_cast<size_t>(MenuTableLength), walked.size());
    int popups = 0;
    for (int i = 0; i < MenuTableLength; ++i) {
        const MenuEntry& row = MenuTable[i];
        const Fl_Menu_Item& item = *walked[i].second;
        EXPECT_EQ(row.depth, walked[i].first) << row.label;
        EXPECT_STREQ(row.label, item.label()) << "row " << i;
        EXPECT_EQ(row.kind == MENU_POPUP, item.submenu() != 0) << row.label;
        if (row.kind == MENU_POPUP) {
            ++popups;
        } else {
            EXPECT_EQ(row.id, MenuItemCommandId(item)) << row.label;
            EXPECT_EQ(RecordPick, item.callback()) << row.label;
        }
    }
    EXPECT_EQ(43, popups);
}

TEST_F(MenuBar, BarEntriesAndLabelsStandAsWritten) {
    std::vector<std::string> bar;
    for (const Fl_Menu_Item* m = items; m->text != nullptr; m = m->next()) bar.push_back(m->label());
    const std::vector<std::string> want = {"&File", "PUMP#", "Pump", "Preset Amounts", "PPU Base",
                                           "                    (DOVK)", "Reader"};
    EXPECT_EQ(want, bar);

    // The bar's (DOVK) entry is a command of its own, not a pop-up.
    const Fl_Menu_Item* dovk = items[0].next(5);
    EXPECT_FALSE(dovk->submenu());
    EXPECT_EQ(65535, MenuItemCommandId(*dovk));

    // Found by path through FLTK, the way the operator reaches them; '_', '$', '.'
    // and '&' are plain characters of the labels.
    Fl_Menu_Bar menuBar(0, 0, 900, 25);
    menuBar.menu(items);
    struct Path {
        const char* path;
        unsigned short id;
    };
    const Path paths[] = {
        {"&File/E&xit", 105},
        {"&File/Serial Port Setup/Baud Rate/19200", 32788},
        {"PUMP#/10", 32829},
        {"PUMP#/22", 32825},
        {"Pump/Prices/4_DIGITS/ONE", 32953},
        {"Pump/Prices/6_DIGITS/SIX", 32964},
        {"Pump/Authorize/Preset 6/Cash/Hose&0", 32978},
        {"Pump/Authorize/6 Digit New Preset $2.50", 32932},
        {"Pump/SYSTEM_VERSIONS/&Extended", 32928},
        {"Preset Amounts/Limit $1.00", 32941},
        {"Preset Amounts/limit $100.00", 32944},
        {"Reader/KeypadConfig/Diable", 32906},
        {"Reader/Packet/Clear", 32900},
    };
    picked.clear();
    for (const Path& p : paths) {
        const Fl_Menu_Item* item = menuBar.find_item(p.path);
        ASSERT_NE(nullptr, item) << p.path;
        EXPECT_EQ(p.id, MenuItemCommandId(*item)) << p.path;
        item->do_callback(&menuBar);
    }
    ASSERT_EQ(sizeof paths / sizeof paths[0], picked.size());
    for (size_t i = 0; i < picked.size(); ++i) EXPECT_EQ(paths[i].id, picked[i]) << paths[i].path;
}

TEST(MenuBarRoom, TooLittleRoomIsRefusedWithoutWritingPastIt) {
    Fl_Menu_Item items[MENU_BAR_ITEMS + 1];
    const int need = BuildMenuBarItems(items, MENU_BAR_ITEMS, RecordPick);
    ASSERT_GT(need, 0);

    for (int room : {0, 1, 100, need - 1}) {
        Fl_Menu_Item guard[MENU_BAR_ITEMS + 1];
        guard[room].text = "guard";
        EXPECT_EQ(-1, BuildMenuBarItems(guard, room, RecordPick)) << room;
        EXPECT_STREQ("guard", guard[room].text) << room;
    }
    EXPECT_EQ(need, BuildMenuBarItems(items, need, RecordPick));
}

}  // namespace
