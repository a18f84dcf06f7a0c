// The command table as data: the menu tree row by row against the list written
// out by hand, its counts, its ids, and the hot keys.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "commands/menu_table.h"
#include "commands/settings.h"
#include "console/panel.h"
#include "tests/commands_expected.h"

namespace {

// "Pump > Authorize > Preset 10 > Credit > hose 5" for every command item.
std::map<int, std::string> PathsOfTable() {
    std::map<int, std::string> paths;
    std::string stack[8];
    for (int i = 0; i < MenuTableLength; ++i) {
        const MenuEntry& row = MenuTable[i];
        if (row.depth >= 8) continue;
        stack[row.depth] = row.label;
        if (row.kind != MENU_ITEM) continue;
        std::string path;
        for (int d = 0; d <= row.depth; ++d) path += (d ? " > " : "") + stack[d];
        paths[row.id] = path;
    }
    return paths;
}

std::map<int, std::string> PathsOfExpected() {
    std::map<int, std::string> paths;
    std::string stack[8];
    for (const expected::Row& row : expected::Tree()) {
        stack[row.depth] = row.label;
        if (row.id == 0) continue;
        std::string path;
        for (int d = 0; d <= row.depth; ++d) path += (d ? " > " : "") + stack[d];
        paths[row.id] = path;
    }
    return paths;
}

TEST(MenuTable, HasFortyThreePopupsAndTwoHundredFourItemsEachIdOnce) {
    int popups = 0, items = 0;
    std::set<int> ids;
    for (int i = 0; i < MenuTableLength; ++i) {
        const MenuEntry& row = MenuTable[i];
        if (row.kind == MENU_POPUP) {
            ++popups;
        } else {
            ++items;
            EXPECT_TRUE(ids.insert(row.id).second) << "id " << row.id << " twice";
            EXPECT_EQ(FindMenuItem(row.id), &row) << row.id;
        }
    }
    EXPECT_EQ(popups, 43);
    EXPECT_EQ(items, 204);
    EXPECT_EQ(ids.size(), 204u);
    EXPECT_EQ(FindMenuItem(0), nullptr);  // pop-ups are not commands
}

TEST(MenuTable, IsTheTreeRowByRow) {
    const std::vector<expected::Row> tree = expected::Tree();
    ASSERT_EQ(tree.size(), 247u);  // the hand list itself: 43 + 204
    ASSERT_EQ(MenuTableLength, static_cast<int>(tree.size()));
    for (int i = 0; i < MenuTableLength; ++i) {
        const MenuEntry& row = MenuTable[i];
        const expected::Row& want = tree[static_cast<size_t>(i)];
        SCOPED_TRACE("row " + std::to_string(i) + " \"" + want.label + "\"");
        EXPECT_EQ(row.depth, want.depth);
        EXPECT_EQ(std::string(row.label), want.label);
        EXPECT_EQ(row.kind, want.id == 0 ? MENU_POPUP : MENU_ITEM);
        if (want.id != 0) {
            EXPECT_EQ(row.id, want.id);
        }
    }
    EXPECT_EQ(PathsOfTable(), PathsOfExpected());
}

TEST(MenuTable, NestingIsWellFormed) {
    ASSERT_GT(MenuTableLength, 0);
    EXPECT_EQ(MenuTable[0].depth, 0);
    for (int i = 0; i < MenuTableLength; ++i) {
        const MenuEntry& row = MenuTable[i];
        if (i > 0) {
            // One level deeper only right under a pop-up.
            const MenuEntry& prev = MenuTable[i - 1];
            EXPECT_LE(row.depth, prev.depth + (prev.kind == MENU_POPUP ? 1 : 0)) << "row " << i;
        }
        if (row.kind == MENU_POPUP) {
            // No empty pop-ups.
            ASSERT_LT(i + 1, MenuTableLength) << row.label;
            EXPECT_EQ(MenuTable[i + 1].depth, row.depth + 1) << row.label;
        }
    }
}

TEST(MenuTable, BarHasItsSevenEntriesInOrder) {
    std::vector<std::pair<std::string, MenuEntryKind>> bar;
    for (int i = 0; i < MenuTableLength; ++i) {
        if (MenuTable[i].depth == 0) bar.emplace_back(MenuTable[i].label, MenuTable[i].kind);
    }
    const std::string dovk = "                    (DOVK)";
    ASSERT_EQ(dovk.size(), 26u);
    std::vector<std::pair<std::string, MenuEntryKind>> want = {
        {"&File", MENU_POPUP},         {"PUMP#", MENU_POPUP},    {"Pump", MENU_POPUP},
        {"Preset Amounts", MENU_POPUP}, {"PPU Base", MENU_POPUP}, {dovk, MENU_ITEM},
        {"Reader", MENU_POPUP},
    };
    EXPECT_EQ(bar, want);
    const MenuEntry* item = FindMenuItem(65535);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(std::string(item->label), dovk);
    EXPECT_EQ(item->depth, 0);
}

TEST(MenuTable, OddLabelsAndIdsAreKept) {
    std::map<int, std::string> paths = PathsOfTable();
    EXPECT_EQ(paths[32906], "Reader > KeypadConfig > Diable");
    EXPECT_EQ(paths[32903], "Reader > KeypadConfig > Schumberger");
    EXPECT_EQ(paths[32994], "Pump > Authorize > Preset 10 > Credit > hose 5");
    EXPECT_EQ(paths[33010], "Pump > Authorize > Volume6 > Credit > hose 3");
    EXPECT_EQ(paths[32944], "Preset Amounts > limit $100.00");
    EXPECT_EQ(paths[32829], "PUMP# > 10");
    EXPECT_EQ(paths[32825], "PUMP# > 22");
    EXPECT_EQ(paths[32806], "");  // no item has this id: "10" does not take it
    EXPECT_EQ(paths[105], "&File > E&xit");
    EXPECT_EQ(paths[32789], "&File > Serial Port Setup > Restart");
    EXPECT_EQ(paths[32978], "Pump > Authorize > Preset 6 > Cash > Hose&0");
    EXPECT_EQ(paths[32979], "Pump > Authorize > Preset 6 > Credit > Hose&0");
    EXPECT_EQ(paths[32927], "Pump > SYSTEM_VERSIONS > &Standard");
    // Every other hose label is "Hose" with a capital H.
    int lowerHose = 0;
    for (int i = 0; i < MenuTableLength; ++i) {
        if (std::string(MenuTable[i].label).rfind("hose ", 0) == 0) ++lowerHose;
    }
    EXPECT_EQ(lowerHose, 2);
}

TEST(MenuTable, HotKeysAreTheElevenKeys) {
    std::vector<int> want = expected::AllHotKeys();
    ASSERT_EQ(want.size(), 11u);
    ASSERT_EQ(HotKeyCount, 11);
    std::set<int> codes;
    for (int k = 0; k < HotKeyCount; ++k) {
        codes.insert(HotKeyTable[k].keyCode);
        EXPECT_EQ(FindHotKey(HotKeyTable[k].keyCode), &HotKeyTable[k]);
    }
    EXPECT_EQ(codes, std::set<int>(want.begin(), want.end()));
    // Lower-case letters are other virtual keys (the keypad and function keys).
    EXPECT_EQ(FindHotKey('s'), nullptr);
    EXPECT_EQ(FindHotKey('l'), nullptr);
}

// The panel's legend is painted from the hot keys' labels: each label padded to
// the key column, the key after it, in the legend's order.
TEST(MenuTable, HotKeyLabelsPaintTheLegendAsItWas) {
    ResetConsoleSettings();
    looping.store(0);
    PanelItem items[PANEL_ITEM_COUNT];
    ASSERT_EQ(BuildPanel(items), PANEL_ITEM_COUNT);
    const char* const legend[] = {"Status            S", "Loop on Status    L", "Authorize         A",
                                  "Sale Read         R", "Sale Clear        C", "Stop              P",
                                  "Resume            M", "Clear Price       0", "One Price         1",
                                  "Two Prices        2", "Three Prices      3"};
    for (int i = 0; i < 11; ++i) EXPECT_STREQ(items[3 + i].text, legend[i]) << i;
    looping.store(1);
    BuildPanel(items);
    EXPECT_STREQ(items[4].text, "Loop on Status    L  (looping)");
    looping.store(0);
}

}  // namespace
