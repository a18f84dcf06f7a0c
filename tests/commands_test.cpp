// Every menu command and hot key against an in-test controller on a
// pseudo-terminal: the exact bytes that reach the controller, whether the reply is
// read, the repaints, and everything that must not happen.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "tests/commands_wire.h"

using namespace wire;
using expected::Values;

namespace {

struct SettingsSnapshot {
    int pump, preset, price, com, baud;
    bool operator==(const SettingsSnapshot& o) const {
        return pump == o.pump && preset == o.preset && price == o.price && com == o.com && baud == o.baud;
    }
};

SettingsSnapshot Snap() {
    return {Settings.pumpNumber, Settings.presetAmount, Settings.priceBase, Settings.comPort, Settings.baudRate};
}

std::string Joined(const TraceLines& t) {
    std::string s;
    for (int i = 0; i < TRACE_LINE_COUNT; ++i) s += t.line[i];
    return s;
}

std::string Shown(const std::string& bytes) { return testsupport::Printable(Bytes(bytes.begin(), bytes.end())); }

const expected::Message* FindMessage(int id) {
    for (const expected::Message& m : expected::MenuMessages()) {
        if (m.id == id) return &m;
    }
    return nullptr;
}

const expected::Preset* FindPreset(int id) {
    static const std::vector<expected::Preset> presets = expected::Presets();
    for (const expected::Preset& p : presets) {
        if (p.id == id) return &p;
    }
    return nullptr;
}

const expected::Series* FindSeries(int id) {
    static const std::vector<expected::Series> series = expected::PriceSeries();
    for (const expected::Series& s : series) {
        if (s.id == id) return &s;
    }
    return nullptr;
}

// Menu items of the table, in table order.
std::vector<const MenuEntry*> Items() {
    std::vector<const MenuEntry*> items;
    for (int i = 0; i < MenuTableLength; ++i) {
        if (MenuTable[i].kind == MENU_ITEM) items.push_back(&MenuTable[i]);
    }
    return items;
}

class Commands : public WireTest {
protected:
    // Runs `act` and checks that exactly the frames of `texts` reached the
    // controller, that the last exchange read the reply when `lastReply` is 1 and
    // left it unread when 0, and that `repaintCount` repaints were requested.
    void ExpectExchange(const std::function<void()>& act, const std::vector<std::string>& texts, int lastReply,
                        int repaintCount, const std::string& what) {
        SCOPED_TRACE(what);
        std::string before = Raw();
        checksumError = 1;
        int repaintsBefore = repaints.load();
        act();
        std::string sent = Raw().substr(before.size());
        std::string want;
        for (const std::string& t : texts) want += expected::WireFrame(t);
        EXPECT_EQ(Shown(sent), Shown(want));
        EXPECT_EQ(repaints.load() - repaintsBefore, repaintCount);
        EXPECT_EQ(replyExpected.load(), 0);
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(Shown(MessageBuffer), Shown(texts.back()));
        EXPECT_EQ(Shown(Joined(TxTrace)), Shown(expected::TraceOf(expected::WireFrame(texts.back()))));
        if (lastReply == 1) {
            EXPECT_EQ(std::string(RxTrace.line[0]), expected::TraceOf(AckAndReply()));
            EXPECT_EQ(ReplyLength, static_cast<int>(AckAndReply().size()));
            EXPECT_EQ(checksumError.load(), 0);
        } else {
            EXPECT_EQ(std::string(RxTrace.line[0]), " [06]");
            EXPECT_EQ(ReplyLength, 1);
            EXPECT_EQ(checksumError.load(), 1);  // no reply judged
        }
    }

    void ExpectMenu(int id, const std::vector<std::string>& texts, int lastReply) {
        ExpectExchange([id] { DispatchMenuCommand(static_cast<unsigned short>(id)); }, texts, lastReply,
                       2 * static_cast<int>(texts.size()) + 1, "menu id " + std::to_string(id));
    }

    void ExpectKey(int key, const std::vector<std::string>& texts, int lastReply) {
        char name[16];
        std::snprintf(name, sizeof name, "key 0x%02X", key);
        ExpectExchange([key] { DispatchHotKey(static_cast<unsigned short>(key)); }, texts, lastReply,
                       2 * static_cast<int>(texts.size()), name);
    }

    // Runs every message binding of the menu with the settings `v` and checks its text.
    void ExpectMessageBinding(const expected::Message& m, const Values& v) {
        size_t askedBefore = ui.asked.size();
        ExpectMenu(m.id, {m.text(v)}, m.reply);
        EXPECT_EQ(ui.asked.size() - askedBefore, m.confirmed ? 1u : 0u) << "menu id " << m.id;
    }

    // Something known that certainly sends: after no-op actions, the bytes that
    // reach the controller must be this frame and nothing before it.
    void ExpectOnlySentinelFollows(const std::string& rawBefore) {
        DispatchHotKey(0x50);  // P: "C%02d"
        std::string sent = Raw().substr(rawBefore.size());
        EXPECT_EQ(Shown(sent), Shown(expected::WireFrame(expected::Format("C%02d", Settings.pumpNumber))));
    }

    void Select(int id) { DispatchMenuCommand(static_cast<unsigned short>(id)); }
};

// ---------------------------------------------------------------------------
// Message bindings at the starting values: pump 1, preset 100, price base 1199.

TEST_F(Commands, EveryMenuMessageBindingSendsItsTextWithItsReplyFlag) {
    ui.answer = 1;  // confirmations accepted
    size_t covered = 0;
    for (const MenuEntry* item : Items()) {
        const expected::Message* m = FindMessage(item->id);
        if (m == nullptr) continue;
        ++covered;
        ASSERT_EQ(m->text(Values()), m->atDefaults) << "expected list disagrees with itself, id " << m->id;
        ExpectMenu(m->id, {m->atDefaults}, m->reply);
        if (m->confirmed) {
            ASSERT_FALSE(ui.asked.empty());
            EXPECT_EQ(ui.asked.back(), std::make_pair(std::string("ARE YOU SURE?"), std::string("Info")));
        }
    }
    EXPECT_EQ(covered, expected::MenuMessages().size());
    EXPECT_EQ(ui.asked.size(), 2u);  // "FLUSH" and "RESET" only
    EXPECT_TRUE(ui.informed.empty());
}

TEST_F(Commands, PrintTextsCarryTheirLineFeedsAndTheReceiptIs124Bytes) {
    std::string before = Raw();
    Select(32892);  // Footer
    std::string footer = Raw().substr(before.size());
    ASSERT_GE(footer.size(), 6u + 3u);
    // After "Print Footer": LF LF backslash n LF LF, then ETX and the checksum.
    EXPECT_EQ(Shown(footer.substr(footer.size() - 2 - 6, 6)), Shown("\n\n\\n\n\n"));
    EXPECT_NE(footer.find("F\n\n\nPrint Footer"), std::string::npos);

    before = Raw();
    Select(32893);  // Receipt
    std::string receipt = Raw().substr(before.size());
    EXPECT_EQ(receipt.size(), 124u + 3u);
    EXPECT_EQ(std::count(receipt.begin(), receipt.end(), '\n'), 15);
    EXPECT_NE(receipt.find("Line  9\nLine 10\n"), std::string::npos);
    EXPECT_EQ(std::strlen(MessageBuffer), 124u);

    before = Raw();
    Select(32891);  // Header
    EXPECT_EQ(Shown(Raw().substr(before.size())), Shown(expected::WireFrame("U01H\n\n\nPrint Header\n\n\n")));
}

TEST_F(Commands, EveryPresetAuthorizeBindingBuildsItsText) {
    size_t covered = 0;
    for (const MenuEntry* item : Items()) {
        const expected::Preset* p = FindPreset(item->id);
        if (p == nullptr) continue;
        ++covered;
        std::string text = expected::PresetText(*p, Values());
        auto literal = expected::LiteralBuilderTexts().find(p->id);
        if (literal != expected::LiteralBuilderTexts().end()) {
            ASSERT_EQ(std::vector<std::string>{text}, literal->second) << "id " << p->id;
        }
        ExpectMenu(p->id, {text}, 0);
    }
    EXPECT_EQ(covered, 68u);
}

TEST_F(Commands, EveryPriceSeriesBindingSendsOneTextPerGrade) {
    size_t covered = 0;
    for (const MenuEntry* item : Items()) {
        const expected::Series* s = FindSeries(item->id);
        if (s == nullptr) continue;
        ++covered;
        std::vector<std::string> texts = expected::SeriesTexts(s->count, s->offset, Values());
        auto literal = expected::LiteralBuilderTexts().find(s->id);
        if (literal != expected::LiteralBuilderTexts().end()) {
            ASSERT_EQ(texts, literal->second) << "id " << s->id;
        }
        ExpectMenu(s->id, texts, 0);  // one repaint after the series, two per message
    }
    EXPECT_EQ(covered, 12u);
}

TEST_F(Commands, EveryHotKeyDoesItsCommand) {
    int covered = 0;
    for (int k = 0; k < HotKeyCount; ++k) {
        int key = HotKeyTable[k].keyCode;
        ++covered;
        if (key == expected::kLoopKey) continue;  // its own test
        bool found = false;
        for (const expected::HotMessage& m : expected::HotMessages()) {
            if (m.key != key) continue;
            found = true;
            ASSERT_EQ(m.text(Values()), m.atDefaults);
            ExpectKey(key, {m.atDefaults}, m.reply);
        }
        for (const auto& s : expected::kHotSeries) {
            if (s.first != key) continue;
            found = true;
            ExpectKey(key, expected::SeriesTexts(s.second, 0, Values()), 0);
        }
        EXPECT_TRUE(found) << "unexpected hot key " << key;
    }
    EXPECT_EQ(covered, 11);
    EXPECT_TRUE(ui.asked.empty());
    EXPECT_TRUE(ui.informed.empty());
}

// ---------------------------------------------------------------------------
// Settings that change texts.

class PumpNumbers : public Commands, public ::testing::WithParamInterface<int> {};

TEST_P(PumpNumbers, EveryPumpDependentTextFollowsThePumpNumber) {
    Values v;
    v.pump = GetParam();
    Select(expected::PumpId(v.pump));
    ASSERT_EQ(Settings.pumpNumber, v.pump);
    ui.answer = 1;
    for (const expected::Message& m : expected::MenuMessages()) {
        // Texts without the pump number were checked at pump 1; a few stay in
        // to show they do not follow it.
        bool fixed = m.text(v) == m.atDefaults;
        if (fixed && m.id != 32850 && m.id != 32853 && m.id != 32912) continue;
        ExpectMessageBinding(m, v);
    }
    for (const expected::HotMessage& m : expected::HotMessages()) {
        if (m.key == 0x53) continue;  // "FE"
        ExpectKey(m.key, {m.text(v)}, m.reply);
    }
    ExpectKey(0x31, expected::SeriesTexts(1, 0, v), 0);
    // One binding of each preset family, and one of each price series.
    for (int id : {32978, 32979, 32985, 32994, 33000, 33010, 33020, 33030}) {
        ExpectMenu(id, {expected::PresetText(*FindPreset(id), v)}, 0);
    }
    ExpectMenu(32954, expected::SeriesTexts(2, 0, v), 0);
    ExpectMenu(32959, expected::SeriesTexts(1, 190000, v), 0);
}

INSTANTIATE_TEST_SUITE_P(Commands, PumpNumbers, ::testing::Values(7, 12, 32));

TEST_F(Commands, PumpNumberExamples) {
    Select(expected::PumpId(7));
    ExpectMenu(32906, {"7@e"}, 0);
    ExpectMenu(32850, {"C00"}, 0);
    ExpectMenu(32853, {"D00"}, 0);
    Select(expected::PumpId(12));
    ExpectMenu(32906, {"12@e"}, 0);
    Select(expected::PumpId(32));
    ExpectMenu(32849, {"C32"}, 0);
    Select(expected::PumpId(10));
    EXPECT_EQ(Settings.pumpNumber, 10);
    ExpectKey(0x50, {"C10"}, 0);
    Select(expected::PumpId(22));
    EXPECT_EQ(Settings.pumpNumber, 22);
    ExpectKey(0x4D, {"D22"}, 0);
}

TEST_F(Commands, PresetAmountsWidenTheFieldsWithoutCuttingThem) {
    const int amountIds[] = {32941, 32942, 32944, 32945, 32946};
    const int amounts[] = {100, 1000, 10000, 100000, 1000000};
    for (int i = 0; i < 5; ++i) {
        Values v;
        v.preset = amounts[i];
        Select(amountIds[i]);
        ASSERT_EQ(Settings.presetAmount, amounts[i]);
        for (int id : {32930, 32933, 32943}) ExpectMessageBinding(*FindMessage(id), v);
        for (int id : {32966, 32981}) ExpectMenu(id, {expected::PresetText(*FindPreset(id), v)}, 0);
    }
    // At 1000000 both "Cash 1 and 3" entries send the same widened six-digit text.
    ExpectMenu(32930, {"A01?110000001000000005"}, 0);
    ExpectMenu(32933, {"A01?110000001000000005"}, 0);
    ExpectMenu(32934, {"A01?010000001000000005"}, 0);
    ExpectMenu(32966, {"A0111100000010000000"}, 0);
    ExpectMenu(32981, {"A011E100010000000010000000"}, 0);
    ExpectMenu(32943, {"A010200000010000000"}, 0);
    // Fixed amounts do not follow the setting.
    ExpectMenu(32932, {"A0109000250000020"}, 0);
}

TEST_F(Commands, PriceBaseChangesThePriceTexts) {
    Values v;
    v.priceBase = 1159;
    Select(32948);
    ASSERT_EQ(Settings.priceBase, 1159);
    ExpectMenu(32935, {"J011E001159001059"}, 0);
    ExpectMenu(32936, {"J011D001159001059"}, 0);
    std::vector<std::string> six = expected::SeriesTexts(6, 0, v);
    EXPECT_EQ(six.back(), "J016W006159006059");  // priceBase + 5000
    ExpectMenu(32958, six, 0);
    ExpectMenu(32959, {"J011W191159191059"}, 0);
    ExpectKey(0x33, expected::SeriesTexts(3, 0, v), 0);
    Select(32947);
    ASSERT_EQ(Settings.priceBase, 1199);
    ExpectMenu(32935, {"J011E001199001099"}, 0);
}

// ---------------------------------------------------------------------------
// Bindings that send nothing.

TEST_F(Commands, SettingBindingsStoreTheirValueAndSendNothing) {
    std::string before = Raw();
    size_t covered = 0;
    for (const MenuEntry* item : Items()) {
        for (const expected::Setting& s : expected::Settings()) {
            if (s.id != item->id) continue;
            ++covered;
            SettingsSnapshot want = Snap();
            switch (s.field) {
                case expected::COM_PORT: want.com = s.value; break;
                case expected::BAUD_RATE: want.baud = s.value; break;
                case expected::PUMP: want.pump = s.value; break;
                case expected::PRESET_AMOUNT: want.preset = s.value; break;
                case expected::PRICE_BASE: want.price = s.value; break;
            }
            int r = repaints.load();
            Select(s.id);
            EXPECT_TRUE(Snap() == want) << "id " << s.id;
            EXPECT_EQ(repaints.load() - r, 1) << "id " << s.id;
        }
    }
    EXPECT_EQ(covered, expected::Settings().size());
    EXPECT_EQ(covered, 50u);
    // The port settings changed, but without "Restart" the line is still com1.
    ExpectOnlySentinelFollows(before);
}

TEST_F(Commands, DeclinedConfirmationAndPlaceholdersLeaveEverythingAsItWas) {
    ui.answer = 0;
    std::strcpy(MessageBuffer, "before");
    replyExpected = 1;
    checksumError = 1;
    for (int i = 0; i < TRACE_LINE_COUNT; ++i) {
        std::snprintf(TxTrace.line[i], TRACE_LINE_BYTES, "tx %d", i);
        std::snprintf(RxTrace.line[i], TRACE_LINE_BYTES, "rx %d", i);
    }
    TraceLines tx = TxTrace, rx = RxTrace;
    std::string before = Raw();

    for (int id : {32836, 32830}) {  // "ERROR" > "FLUSH", "RESET"
        int r = repaints.load();
        Select(id);
        EXPECT_EQ(repaints.load() - r, 1) << id;
    }
    ASSERT_EQ(ui.asked.size(), 2u);
    for (const auto& box : ui.asked) {
        EXPECT_EQ(box.first, "ARE YOU SURE?");
        EXPECT_EQ(box.second, "Info");
    }
    size_t placeholders = 0;
    for (const MenuEntry* item : Items()) {
        if (std::find(expected::kPlaceholders.begin(), expected::kPlaceholders.end(), item->id) ==
            expected::kPlaceholders.end())
            continue;
        ++placeholders;
        int r = repaints.load();
        Select(item->id);
        EXPECT_EQ(repaints.load() - r, 1) << item->id;
    }
    EXPECT_EQ(placeholders, 6u);
    ASSERT_EQ(ui.informed.size(), 6u);
    for (const auto& box : ui.informed) {
        EXPECT_EQ(box.first, "Not Coded Yet");
        EXPECT_EQ(box.second, "info");
    }
    EXPECT_EQ(ui.asked.size(), 2u);

    EXPECT_STREQ(MessageBuffer, "before");
    EXPECT_EQ(replyExpected.load(), 1);
    EXPECT_EQ(checksumError.load(), 1);
    EXPECT_EQ(std::memcmp(&tx, &TxTrace, sizeof tx), 0);
    EXPECT_EQ(std::memcmp(&rx, &RxTrace, sizeof rx), 0);
    EXPECT_EQ(Raw(), before);
    replyExpected = 0;
    ExpectOnlySentinelFollows(before);
}

TEST_F(Commands, UnboundIdsAndKeysDoNothingButWhatTheyShould) {
    // Non-default values, so that a stray reset would show.
    Select(expected::PumpId(5));
    Select(32942);
    Select(32948);
    std::strcpy(MessageBuffer, "before");
    SettingsSnapshot settings = Snap();
    std::string before = Raw();
    const std::vector<int> bound = expected::AllMenuIds();
    const std::set<int> boundSet(bound.begin(), bound.end());
    ASSERT_EQ(boundSet.size(), 204u);

    // Every id no entry names, 0 and those between bound ids included: one repaint each.
    int r = repaints.load();
    int unbound = 0;
    for (int id = 0; id <= 0xFFFF; ++id) {
        if (boundSet.count(id) != 0) continue;
        ++unbound;
        DispatchMenuCommand(static_cast<unsigned short>(id));
    }
    EXPECT_EQ(unbound, 65536 - 204);
    EXPECT_EQ(repaints.load() - r, unbound);

    // "BLEND" > "Hose1".."Hose8" and the bar item "(DOVK)": bound to nothing, one repaint.
    for (int id : expected::kNothing) {
        int before1 = repaints.load();
        Select(id);
        EXPECT_EQ(repaints.load() - before1, 1) << id;
    }

    // Every key code but the eleven hot keys: no repaint, nothing at all. This
    // covers the keypad digits 0x60..0x69, the function keys 0x70..0x7B, the
    // digits 4 to 9 and every other letter.
    const std::vector<int> hot = expected::AllHotKeys();
    r = repaints.load();
    for (int key = 0; key <= 0xFFFF; ++key) {
        if (std::find(hot.begin(), hot.end(), key) != hot.end()) continue;
        DispatchHotKey(static_cast<unsigned short>(key));
        ASSERT_EQ(looping.load(), 0) << key;
    }
    EXPECT_EQ(repaints.load(), r);

    EXPECT_TRUE(Snap() == settings);
    EXPECT_STREQ(MessageBuffer, "before");
    EXPECT_EQ(looping.load(), 0);
    EXPECT_TRUE(ui.asked.empty());
    EXPECT_TRUE(ui.informed.empty());
    EXPECT_EQ(ui.closes, 0);
    EXPECT_EQ(Raw(), before);
    ExpectOnlySentinelFollows(before);
}

TEST_F(Commands, ExitClosesTheWindowWithoutARepaint) {
    std::string before = Raw();
    Select(expected::kExit);
    EXPECT_EQ(ui.closes, 1);
    EXPECT_EQ(repaints.load(), 0);
    ExpectOnlySentinelFollows(before);
}

TEST_F(Commands, LoopKeyTogglesTheLoopAndSendsNothing) {
    std::string before = Raw();
    ASSERT_EQ(looping.load(), 0);
    DispatchHotKey(0x4C);
    EXPECT_EQ(looping.load(), 1);
    DispatchHotKey(0x4C);
    EXPECT_EQ(looping.load(), 0);
    DispatchHotKey(0x4C);
    EXPECT_EQ(looping.load(), 1);
    EXPECT_EQ(repaints.load(), 0);
    EXPECT_EQ(Raw(), before);
    looping = 0;
    ExpectOnlySentinelFollows(before);
}

// ---------------------------------------------------------------------------
// Port selections and "Restart".

// The output speed the console last set on a pseudo-terminal, or -1.
int LineSpeed(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    termios tio;
    int result = tcgetattr(fd, &tio) == 0 ? static_cast<int>(cfgetospeed(&tio)) : -1;
    close(fd);
    return result;
}

TEST_F(Commands, PortSelectionsTakeEffectOnlyAtRestart) {
    testsupport::PtyPeer second;
    ASSERT_TRUE(second.ok());
    Controller secondController(second);
    second.StartResponder(secondController.Answer());
    home.LinkCom(2, second.slavePath());
    EXPECT_EQ(LineSpeed(peer.slavePath()), static_cast<int>(B9600));

    Select(32778);  // COM Port 2
    Select(32788);  // 19200
    ExpectKey(0x50, {"C01"}, 0);  // still on the first line
    EXPECT_TRUE(second.RawReceived().empty());
    EXPECT_EQ(LineSpeed(peer.slavePath()), static_cast<int>(B9600));

    int r = repaints.load();
    Select(expected::kRestart);
    EXPECT_EQ(repaints.load() - r, 1);
    EXPECT_EQ(openPortId.load(), 1002);
    EXPECT_EQ(LineSpeed(second.slavePath()), static_cast<int>(B19200));
    std::string firstBefore = Raw();
    DispatchHotKey(0x52);  // R, which reads its reply
    EXPECT_EQ(AsString(second.RawReceived()), expected::WireFrame("B01EHMS$VLPT"));
    EXPECT_EQ(std::string(RxTrace.line[0]), expected::TraceOf(AckAndReply()));
    EXPECT_EQ(Raw(), firstBefore);

    // "Restart" with the same port reopens it and goes on working.
    Select(expected::kRestart);
    std::string secondBefore = AsString(second.RawReceived());
    DispatchHotKey(0x4D);
    EXPECT_EQ(AsString(second.RawReceived()).substr(secondBefore.size()), expected::WireFrame("D01"));

    Select(32777);  // COM Port 1
    Select(32787);  // 9600
    Select(expected::kRestart);
    EXPECT_EQ(openPortId.load(), 1001);
    EXPECT_EQ(LineSpeed(peer.slavePath()), static_cast<int>(B9600));
    ExpectKey(0x50, {"C01"}, 0);
    second.StopResponder();
}

TEST_F(Commands, RestartOntoAPortThatCannotOpenLeavesCommandsTimingOut) {
    home.LinkCom(5, "/dev/null");  // not a terminal: the open fails
    std::string before = Raw();
    Select(32781);  // COM Port 5
    Select(expected::kRestart);
    EXPECT_EQ(openPortId.load(), 1005);
    std::strcpy(RxTrace.line[0], "stale");
    Clock::time_point start = Clock::now();
    DispatchHotKey(0x53);
    long long ms = MsBetween(start, Clock::now());
    EXPECT_GE(ms, 150);  // the drain window and the ACK window
    EXPECT_STREQ(RxTrace.line[0], "");
    EXPECT_EQ(replyExpected.load(), 0);
    EXPECT_EQ(Raw(), before);

    Select(32777);
    Select(expected::kRestart);
    ExpectOnlySentinelFollows(before);
}

}  // namespace
