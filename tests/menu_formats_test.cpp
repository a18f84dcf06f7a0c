// The message formats of the command table against what fills them. They are
// data, so the compiler's format checking never sees them: each format's
// conversions are read here and compared with the values its argument kind
// passes (an int for every number, a string for the receipt text).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "commands/dispatch.h"
#include "commands/menu_table.h"
#include "commands/settings.h"
#include "link/transaction.h"

namespace {

// What FormatBoundMessage passes after the format, per argument kind: 'i' an
// int, 's' a string.
std::string ExpectedArguments(MessageArgs args) {
    switch (args) {
        case ARGS_NONE: return "";
        case ARGS_PUMP: return "i";
        case ARGS_PUMP_PRESET:
        case ARGS_PUMP_CONSTANTS:
        case ARGS_PUMP_ZERO_VOLUME:
        case ARGS_PUMP_PRICE: return "iii";
        case ARGS_PUMP_RECEIPT: return "is";
    }
    return "?";
}

// The arguments `format` consumes, as 'i' (d, i with no length modifier) and
// 's' (s); anything else - a length modifier, '*', another conversion, a lone
// '%' at the end - gives "!" plus the offending text, which matches nothing.
std::string ConsumedArguments(const char* format) {
    std::string kinds;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') continue;
        const char* start = p;
        ++p;
        if (*p == '%') continue;
        while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) ++p;
        while (*p >= '0' && *p <= '9') ++p;
        if (*p == '.') {
            ++p;
            while (*p >= '0' && *p <= '9') ++p;
        }
        if (*p == 'd' || *p == 'i') {
            kinds += 'i';
        } else if (*p == 's') {
            kinds += 's';
        } else {
            return "!" + std::string(start, *p == '\0' ? p : p + 1);
        }
        if (*p == '\0') break;
    }
    return kinds;
}

struct Bound {
    std::string where;
    const Action* action;
};

// Every action in the menu rows and the hot keys that sends a formatted text.
std::vector<Bound> MessageActions() {
    std::vector<Bound> found;
    for (int i = 0; i < MenuTableLength; ++i) {
        const Action& action = MenuTable[i].action;
        if (action.kind == ACTION_MESSAGE || action.kind == ACTION_CONFIRMED_MESSAGE) {
            found.push_back({std::string("menu ") + std::to_string(MenuTable[i].id) + " \"" +
                                 MenuTable[i].label + "\"",
                             &action});
        }
    }
    for (int i = 0; i < HotKeyCount; ++i) {
        const Action& action = HotKeyTable[i].action;
        if (action.kind == ACTION_MESSAGE || action.kind == ACTION_CONFIRMED_MESSAGE) {
            found.push_back({"hot key " + std::to_string(HotKeyTable[i].keyCode), &action});
        }
    }
    return found;
}

}  // namespace

TEST(MenuFormats, TheCheckerTellsMatchingFromMismatchedConversions) {
    EXPECT_EQ(ConsumedArguments("A%02d?1%06d%06d05"), "iii");
    EXPECT_EQ(ConsumedArguments("P%02d%s"), "is");
    EXPECT_EQ(ConsumedArguments("100%% sure"), "");
    EXPECT_NE(ConsumedArguments("A%02s"), "i");
    EXPECT_NE(ConsumedArguments("A%ld"), "i");
    EXPECT_NE(ConsumedArguments("A%*d"), "ii");
    EXPECT_NE(ConsumedArguments("A%02d%"), "i");
    EXPECT_NE(ConsumedArguments("A%f"), "i");
}

TEST(MenuFormats, EveryFormatConsumesExactlyWhatItsArgumentKindPasses) {
    std::vector<Bound> actions = MessageActions();
    ASSERT_GT(actions.size(), 30u);
    for (const Bound& bound : actions) {
        ASSERT_NE(bound.action->format, nullptr) << bound.where;
        // A text sent as it stands goes out through "%s": a '%' in it would be
        // sent literally, so it can only be a format given the wrong kind.
        EXPECT_EQ(ConsumedArguments(bound.action->format), ExpectedArguments(bound.action->args))
            << bound.where << ": \"" << bound.action->format << "\"";
        if (bound.action->args == ARGS_NONE) {
            EXPECT_EQ(std::strchr(bound.action->format, '%'), nullptr) << bound.where;
        }
    }
}

// Filled with the largest settings the menus offer, every text fits the message
// buffer and keeps no conversion unfilled.
TEST(MenuFormats, EveryFormatFillsWithinTheMessageBuffer) {
    ConsoleSettings settings = Settings;
    settings.pumpNumber = 32;
    settings.presetAmount = 99999;
    settings.priceBase = 9999;
    for (const Bound& bound : MessageActions()) {
        char text[MESSAGE_BYTES];
        int reply = -1;
        int length = FormatActionMessage(*bound.action, settings, 0, text, sizeof text, &reply);
        ASSERT_GE(length, 0) << bound.where;
        EXPECT_LT(length, MESSAGE_BYTES) << bound.where;
        if (bound.action->args != ARGS_PUMP_RECEIPT) {
            EXPECT_EQ(std::strchr(text, '%'), nullptr) << bound.where << ": " << text;
        }
    }
}
