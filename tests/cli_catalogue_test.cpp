// The command line's names for the command table, and the texts it says a command
// would send, checked against the hand-written catalogue of the wire tests.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "commands/catalogue.h"
#include "cli/send/send.h"
#include "tests/commands_expected.h"

namespace {

ConsoleSettings SettingsFor(const expected::Values& v) {
    ConsoleSettings s = {v.pump, v.preset, v.priceBase, 1, 9600};
    return s;
}

std::vector<std::string> Texts(const CatalogueItem& item, const expected::Values& v) {
    std::vector<std::string> texts;
    for (const PlannedMessage& m : PlannedMessages(item, SettingsFor(v))) texts.push_back(m.text);
    return texts;
}

const CatalogueItem& ById(int id) {
    const CatalogueItem* item = FindCommand(std::to_string(id));
    EXPECT_NE(item, nullptr) << id;
    static const CatalogueItem none = {nullptr, 0, "", 0};
    return item != nullptr ? *item : none;
}

// Runs CheckCommands with stderr captured.
int Check(const std::vector<std::string>& names, bool yes, std::string& said) {
    std::vector<const CatalogueItem*> items;
    testing::internal::CaptureStderr();
    int status = CheckCommands(names, yes, items);
    said = testing::internal::GetCapturedStderr();
    return status;
}

}  // namespace

TEST(CliCatalogue, EveryMenuItemHasOneUniquePathAndTheHotKeysFollow) {
    std::set<std::string> paths;
    int items = 0;
    int keys = 0;
    for (const CatalogueItem& item : Catalogue()) {
        if (item.id == 0) {
            ++keys;
            continue;
        }
        ++items;
        EXPECT_EQ(item.path.find('&'), std::string::npos) << item.path;
        EXPECT_TRUE(paths.insert(NormalisedName(item.path)).second) << "two items named " << item.path;
        EXPECT_EQ(FindCommand(item.path), &item);
        EXPECT_EQ(FindCommand(std::to_string(item.id)), &item);
    }
    EXPECT_EQ(items, 204);
    EXPECT_EQ(keys, 11);
}

TEST(CliCatalogue, NamesMatchWithoutCaseSpacesOrMnemonics) {
    EXPECT_EQ(FindCommand("Pump/Sale/Read")->id, 32846);
    EXPECT_EQ(FindCommand("pump/sale/extended")->id, 32873);
    EXPECT_EQ(FindCommand("PUMP#/7")->id, 32803);
    EXPECT_EQ(FindCommand("PUMP#/10")->id, 32829);
    EXPECT_EQ(FindCommand("File/Exit")->id, 105);
    EXPECT_EQ(FindCommand("&File/E&xit")->id, 105);
    EXPECT_EQ(FindCommand("pump/authorize/preset 6/cash/hose 0")->id, 32978);
    EXPECT_EQ(FindCommand("Pump/Authorize/Preset10/Credit/hose5")->id, 32994);
    EXPECT_EQ(FindCommand("(DOVK)")->id, 65535);
    EXPECT_EQ(FindCommand("key:r")->key, 'R');
    EXPECT_EQ(FindCommand("key:1")->key, '1');
    EXPECT_EQ(FindCommand("Pump/Sale"), nullptr);  // a pop-up is not a command
    EXPECT_EQ(FindCommand("key:Q"), nullptr);
    EXPECT_EQ(FindCommand("key:4"), nullptr);
    EXPECT_EQ(FindCommand("key:"), nullptr);
    EXPECT_EQ(FindCommand("99999"), nullptr);
    EXPECT_EQ(FindCommand("0032846"), nullptr);
    EXPECT_EQ(FindCommand(""), nullptr);
}

TEST(CliCatalogue, MenuItemsKnowTheHotKeyThatDoesTheSame) {
    EXPECT_EQ(FindCommand("Pump/Status/Extended")->key, 'S');
    EXPECT_EQ(FindCommand("Pump/Sale/Extended")->key, 'R');
    EXPECT_EQ(FindCommand("Pump/Sale/Read")->key, 0);  // R is the extended read
    EXPECT_EQ(FindCommand("Pump/Prices/4_DIGITS/THREE")->key, '3');
    EXPECT_EQ(FindCommand("Pump/Authorize/Fillup")->key, 0);  // A sends a different text
}

TEST(CliCatalogue, UnknownNamesGetTheClosestPaths) {
    std::vector<std::string> close = ClosestPaths("pump/sale/reed", 3);
    ASSERT_FALSE(close.empty());
    EXPECT_EQ(close[0], "Pump/Sale/Read");
    close = ClosestPaths("sale/clear", 1);
    ASSERT_EQ(close.size(), 1u);
    EXPECT_EQ(close[0], "Pump/Sale/Clear");
}

TEST(CliCatalogue, PlannedTextsAreTheTextsTheConsoleSends) {
    for (const expected::Values& v : {expected::Values{}, expected::Values{12, 1000000, 1159}}) {
        for (const expected::Message& m : expected::MenuMessages()) {
            const CatalogueItem& item = ById(m.id);
            ASSERT_NE(item.action, nullptr);
            std::vector<PlannedMessage> planned = PlannedMessages(item, SettingsFor(v));
            ASSERT_EQ(planned.size(), 1u) << m.id;
            EXPECT_EQ(planned[0].text, m.text(v)) << m.id;
            EXPECT_EQ(planned[0].reply, m.reply) << m.id;
        }
        for (const expected::Preset& p : expected::Presets()) {
            EXPECT_EQ(Texts(ById(p.id), v), std::vector<std::string>{expected::PresetText(p, v)}) << p.id;
        }
        for (const expected::Series& s : expected::PriceSeries()) {
            EXPECT_EQ(Texts(ById(s.id), v), expected::SeriesTexts(s.count, s.offset, v)) << s.id;
        }
        for (const expected::HotMessage& h : expected::HotMessages()) {
            const CatalogueItem* item = FindCommand(std::string("key:") + static_cast<char>(h.key));
            ASSERT_NE(item, nullptr);
            EXPECT_EQ(Texts(*item, v), std::vector<std::string>{h.text(v)}) << h.key;
        }
        for (const auto& s : expected::kHotSeries) {
            const CatalogueItem* item = FindCommand(std::string("key:") + static_cast<char>(s.first));
            EXPECT_EQ(Texts(*item, v), expected::SeriesTexts(s.second, 0, v));
        }
    }
    for (const expected::Setting& s : expected::Settings()) {
        EXPECT_TRUE(IsSetting(ById(s.id))) << s.id;
        EXPECT_TRUE(Texts(ById(s.id), {}).empty()) << s.id;
    }
}

TEST(CliCatalogue, RefusalsNameTheReasonAndStopEverything) {
    std::string said;
    EXPECT_EQ(Check({"key:S", "Pump/Sale/Read", "PUMP#/7"}, false, said), EXIT_ALL_OK);
    EXPECT_EQ(said, "");

    EXPECT_EQ(Check({"key:S", "pump/sale/reed"}, false, said), EXIT_USAGE);
    EXPECT_NE(said.find("unknown command 'pump/sale/reed'"), std::string::npos) << said;
    EXPECT_NE(said.find("Pump/Sale/Read"), std::string::npos) << said;
    EXPECT_NE(said.find("nothing was sent"), std::string::npos) << said;

    EXPECT_EQ(Check({"File/Serial Port Setup/Restart"}, false, said), EXIT_USAGE);
    EXPECT_EQ(Check({"105"}, false, said), EXIT_USAGE);
    EXPECT_EQ(Check({"key:L"}, false, said), EXIT_USAGE);
    EXPECT_NE(said.find("--repeat"), std::string::npos) << said;

    EXPECT_EQ(Check({"Reader/Packet/Read"}, false, said), EXIT_USAGE);
    EXPECT_NE(said.find("Not Coded Yet"), std::string::npos) << said;

    EXPECT_EQ(Check({"Pump/RESET"}, false, said), EXIT_USAGE);
    EXPECT_NE(said.find("ARE YOU SURE?"), std::string::npos) << said;
    EXPECT_NE(said.find("--yes"), std::string::npos) << said;
    EXPECT_EQ(Check({"Pump/RESET", "Pump/ERROR/FLUSH"}, true, said), EXIT_ALL_OK);

    // Items that do nothing in the console do nothing here too, and say so.
    EXPECT_EQ(Check({"Pump/BLEND/Hose1"}, false, said), EXIT_ALL_OK);
    EXPECT_NE(said.find("does nothing"), std::string::npos) << said;
}
