// The operator's vocabulary written out a second time, by hand, for the tests: the
// menu tree row by row, what every command id and hot key is meant to do, and the
// exact texts they send. Nothing here is taken from commands/menu_table.cpp; the
// tests compare that table and the dispatch against this list.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace expected {

// ---------------------------------------------------------------------------
// The menu tree in display order. id 0 marks a pop-up.

struct Row {
    int depth;
    std::string label;
    int id;
};

inline std::vector<Row> Tree() {
    std::vector<Row> t;
    auto popup = [&](int depth, const std::string& label) { t.push_back({depth, label, 0}); };
    auto item = [&](int depth, const std::string& label, int id) { t.push_back({depth, label, id}); };
    // Labels prefix + number, counting up with the ids.
    auto run = [&](int depth, const std::string& prefix, int first, int last, int firstId) {
        for (int n = first; n <= last; ++n) item(depth, prefix + std::to_string(n), firstId + n - first);
    };
    auto hoses0to8 = [&](int firstId) { run(4, "Hose ", 0, 8, firstId); };
    const std::vector<std::string> oneToSix = {"ONE", "TWO", "THREE", "FOUR", "FIVE", "SIX"};

    popup(0, "&File");
    popup(1, "Serial Port Setup");
    popup(2, "COM Port");
    run(3, "", 1, 7, 32777);
    popup(2, "Baud Rate");
    item(3, "2400", 32785);
    item(3, "4800", 32786);
    item(3, "9600", 32787);
    item(3, "19200", 32788);
    item(2, "Restart", 32789);
    item(1, "E&xit", 105);

    popup(0, "PUMP#");
    const int pumpIds[32] = {32797, 32798, 32799, 32800, 32801, 32802, 32803, 32804,
                             32805, 32829, 32807, 32808, 32809, 32810, 32811, 32812,
                             32813, 32814, 32815, 32816, 32817, 32825, 32818, 32819,
                             32820, 32821, 32822, 32823, 32824, 32826, 32827, 32828};
    for (int n = 1; n <= 32; ++n) item(1, std::to_string(n), pumpIds[n - 1]);

    popup(0, "Pump");
    popup(1, "SYSTEM_VERSIONS");
    item(2, "&Standard", 32927);
    item(2, "&Extended", 32928);
    popup(1, "Status");
    item(2, "Extended", 32772);
    item(2, "Select", 32773);
    popup(1, "Authorize");
    item(2, "Fillup", 32838);
    popup(2, "Preset 6");
    popup(3, "Cash");
    item(4, "Hose&0", 32978);
    for (int h = 1; h <= 6; ++h) item(4, "Hose&" + std::to_string(h), 32965 + h);
    popup(3, "Credit");
    item(4, "Hose&0", 32979);
    for (int h = 1; h <= 6; ++h) item(4, "Hose&" + std::to_string(h), 32971 + h);
    popup(2, "Preset 10");
    popup(3, "Cash");
    hoses0to8(32980);
    popup(3, "Credit");
    for (int h = 0; h <= 8; ++h) item(4, (h == 5 ? "hose " : "Hose ") + std::to_string(h), 32989 + h);
    popup(2, "Volume6");
    popup(3, "Cash");
    hoses0to8(32998);
    popup(3, "Credit");
    for (int h = 0; h <= 8; ++h) item(4, (h == 3 ? "hose " : "Hose ") + std::to_string(h), 33007 + h);
    popup(2, "Volume 10");
    popup(3, "Cash");
    hoses0to8(33016);
    popup(3, "Credit");
    hoses0to8(33025);
    popup(2, "MultiHose Lock");
    item(3, "6 digit Cash 1 and 3", 32930);
    item(3, "6 digit Credit 1 and 3", 32931);
    item(3, "10 digit Cash 1 and 3", 32933);
    item(3, "10 digit Credit 1 and 3", 32934);
    item(2, "6 Digit New Preset $2.50", 32932);
    item(2, "10 digit New Preset $2.50", 32937);
    item(2, "test vol no dollar", 32943);
    item(2, "preset 2.50 hose 1", 32965);
    popup(1, "Sale");
    item(2, "Read", 32846);
    item(2, "Extended", 32873);
    item(2, "Clear", 32847);
    popup(1, "Stop");
    item(2, "ONE", 32849);
    item(2, "ALL", 32850);
    popup(1, "Resume");
    item(2, "One", 32852);
    item(2, "All", 32853);
    popup(1, "Prices");
    item(2, "ZERO", 32905);
    item(2, "READ", 32835);
    item(2, "Change Price With Handle Up One", 32935);
    item(2, "No Change Price With Handle Up One", 32936);
    popup(2, "4_DIGITS");
    for (int i = 0; i < 6; ++i) item(3, oneToSix[i], 32953 + i);
    popup(2, "6_DIGITS");
    for (int i = 0; i < 6; ++i) item(3, oneToSix[i], 32959 + i);
    popup(1, "BLEND");
    run(2, "Hose", 1, 8, 32864);
    popup(1, "Totals");
    run(2, "Hose", 1, 8, 32855);
    popup(1, "ERROR");
    item(2, "READ", 32833);
    item(2, "CLEAR", 32834);
    item(2, "FLUSH", 32836);
    item(1, "RESET", 32830);

    popup(0, "Preset Amounts");
    item(1, "Limit $1.00", 32941);
    item(1, "Limit $10.00", 32942);
    item(1, "limit $100.00", 32944);
    item(1, "Limit $1000.00", 32945);
    item(1, "Limit $10000.00", 32946);

    popup(0, "PPU Base");
    item(1, "PPG 1199", 32947);
    item(1, "PPG 1159", 32948);

    item(0, std::string(20, ' ') + "(DOVK)", 65535);

    popup(0, "Reader");
    item(1, "Status", 32774);
    popup(1, "KeypadConfig");
    item(2, "Diable", 32906);
    popup(2, "Gilbarco");
    item(3, "Standard", 32882);
    item(3, "InfoScreen", 32883);
    popup(2, "Wayne");
    item(3, "Legacy", 32916);
    item(3, "Dual Cat", 32910);
    item(3, "QCat", 32917);
    item(3, "SecureCat", 32909);
    item(2, "Tokheim", 32902);
    item(2, "Schumberger", 32903);
    item(2, "Generic", 32904);
    popup(1, "Key");
    item(2, "Read", 32885);
    item(2, "Clear", 32886);
    popup(1, "Card");
    item(2, "Read", 32888);
    item(2, "Clear", 32889);
    popup(1, "Print");
    item(2, "Header", 32891);
    item(2, "Footer", 32892);
    item(2, "Receipt", 32893);
    popup(1, "Display");
    item(2, "Single", 32911);
    item(2, "Global", 32912);
    item(1, "Beeper", 32895);
    popup(1, "Preload MSGs");
    item(2, "CardMSGs", 32913);
    item(2, "KeyMSGs", 32914);
    item(2, "PrintMSGs", 32915);
    popup(1, "Packet");
    item(2, "Read", 32898);
    item(2, "Write", 32899);
    item(2, "Clear", 32900);
    return t;
}

// ---------------------------------------------------------------------------
// Settings the texts depend on.

struct Values {
    int pump = 1;
    int preset = 100;
    int priceBase = 1199;
};

inline std::string Format(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

inline std::string Format(const char* format, ...) {
    char buffer[2048];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return n < 0 ? std::string() : std::string(buffer, static_cast<size_t>(n));
}

const char kReceipt[] =
    "Line  1\nLine  2\nLine  3\nLine  4\nLine  5\nLine  6\nLine  7\nLine  8\n"
    "Line  9\nLine 10\nLine 11\nLine 12\nLine 13\nLine 14\nLine 15\n";

// ---------------------------------------------------------------------------
// Message bindings: the text as a function of the settings, the reply flag, and
// the text at pump 1, preset 100, price base 1199 written out literally.

struct Message {
    int id;
    std::string (*text)(const Values&);
    int reply;
    bool confirmed;
    const char* atDefaults;
};

#define TEXT(body) [](const Values& v) -> std::string { (void)v; return body; }

inline const std::vector<Message>& MenuMessages() {
    static const std::vector<Message> list = {
        {32927, TEXT("K"), 1, false, "K"},
        {32928, TEXT("KE"), 1, false, "KE"},
        {32772, TEXT("FE"), 1, false, "FE"},
        {32773, TEXT("F1"), 1, false, "F1"},
        {32838, TEXT(Format("A%02d04999999999999", v.pump)), 0, false, "A0104999999999999"},
        {32930, TEXT(Format("A%02d?1%06d%06d05", v.pump, v.preset, 10 * v.preset)), 0, false,
         "A01?100010000100005"},
        {32931, TEXT(Format("A%02d?0%06d%06d05", v.pump, v.preset, 10 * v.preset)), 0, false,
         "A01?000010000100005"},
        {32933, TEXT(Format("A%02d?1%06d%06d05", v.pump, v.preset, 10 * v.preset)), 0, false,
         "A01?100010000100005"},
        {32934, TEXT(Format("A%02d?0%06d%06d05", v.pump, v.preset, 10 * v.preset)), 0, false,
         "A01?000010000100005"},
        {32932, TEXT(Format("A%02d09%06d%06d", v.pump, 250, 20)), 0, false, "A0109000250000020"},
        {32937, TEXT(Format("A%02d0E9%010d%010d", v.pump, 250, 20)), 0, false,
         "A010E900000002500000000020"},
        {32943, TEXT(Format("A%02d02%06d%06d", v.pump, 0, 10 * v.preset)), 0, false, "A0102000000001000"},
        {32965, TEXT(Format("A%02d10000250000000", v.pump)), 0, false, "A0110000250000000"},
        {32846, TEXT(Format("B%02dR", v.pump)), 1, false, "B01R"},
        {32873, TEXT(Format("B%02dEHMS$VLPT", v.pump)), 1, false, "B01EHMS$VLPT"},
        {32847, TEXT(Format("B%02dC", v.pump)), 0, false, "B01C"},
        {32849, TEXT(Format("C%02d", v.pump)), 0, false, "C01"},
        {32850, TEXT("C00"), 0, false, "C00"},
        {32852, TEXT(Format("D%02d", v.pump)), 0, false, "D01"},
        {32853, TEXT("D00"), 0, false, "D00"},
        {32905, TEXT(Format("J%02d1W000000000000", v.pump)), 0, false, "J011W000000000000"},
        {32835, TEXT(Format("J%02d1R", v.pump)), 1, false, "J011R"},
        {32935, TEXT(Format("J%02d1E%06d%06d", v.pump, v.priceBase, v.priceBase - 100)), 0, false,
         "J011E001199001099"},
        {32936, TEXT(Format("J%02d1D%06d%06d", v.pump, v.priceBase, v.priceBase - 100)), 0, false,
         "J011D001199001099"},
        {32855, TEXT(Format("I%02d1", v.pump)), 1, false, "I011"},
        {32856, TEXT(Format("I%02d2", v.pump)), 1, false, "I012"},
        {32857, TEXT(Format("I%02d3", v.pump)), 1, false, "I013"},
        {32858, TEXT(Format("I%02d4", v.pump)), 1, false, "I014"},
        {32859, TEXT(Format("I%02d5", v.pump)), 1, false, "I015"},
        {32860, TEXT(Format("I%02d6", v.pump)), 1, false, "I016"},
        {32861, TEXT(Format("I%02d7", v.pump)), 1, false, "I017"},
        {32862, TEXT(Format("I%02d8", v.pump)), 1, false, "I018"},
        {32833, TEXT("ES"), 1, false, "ES"},
        {32834, TEXT("EW"), 1, false, "EW"},
        {32836, TEXT("EC"), 1, true, "EC"},
        {32830, TEXT("G"), 0, true, "G"},
        {32774, TEXT("Y"), 1, false, "Y"},
        {32906, TEXT(Format("%d@e", v.pump)), 0, false, "1@e"},
        {32882, TEXT(Format("Z%02d123@R456AZ789NYL0EHCe", v.pump)), 0, false, "Z01123@R456AZ789NYL0EHCe"},
        {32883, TEXT(Format("Z%02d123@H456@C789@@L0E@XFGIJKMTUVQWZe", v.pump)), 0, false,
         "Z01123@H456@C789@@L0E@XFGIJKMTUVQWZe"},
        {32916, TEXT(Format("Z%02dL0EYN789HC456RD123F@e", v.pump)), 0, false, "Z01L0EYN789HC456RD123F@e"},
        {32910, TEXT(Format("Z%02dL0EHC789NY456AF123DRe", v.pump)), 0, false, "Z01L0EHC789NY456AF123DRe"},
        {32917, TEXT(Format("Z%02dL0E@@789@@456@@123@@e", v.pump)), 0, false, "Z01L0E@@789@@456@@123@@e"},
        {32909, TEXT(Format("Z%02dL0EC@789@@456N@123Y@e", v.pump)), 0, false, "Z01L0EC@789@@456N@123Y@e"},
        {32902, TEXT(Format("Z%02d@@@321@@@654@@@987S@@E0Le", v.pump)), 0, false,
         "Z01@@@321@@@654@@@987S@@E0Le"},
        {32903, TEXT(Format("Z%02d123@R456AZ789NYL0EHCe", v.pump)), 0, false, "Z01123@R456AZ789NYL0EHCe"},
        {32904, TEXT(Format("Z%02d123@R456AZ789NYL0EHCe", v.pump)), 0, false, "Z01123@R456AZ789NYL0EHCe"},
        {32885, TEXT(Format("X%02dR", v.pump)), 1, false, "X01R"},
        {32886, TEXT(Format("X%02dC", v.pump)), 0, false, "X01C"},
        {32888, TEXT(Format("W%02dR", v.pump)), 1, false, "W01R"},
        {32889, TEXT(Format("W%02dC", v.pump)), 0, false, "W01C"},
        {32891, TEXT(Format("U%02dH\n\n\nPrint Header\n\n\n", v.pump)), 0, false,
         "U01H\n\n\nPrint Header\n\n\n"},
        {32892, TEXT(Format("U%02dF\n\n\nPrint Footer\n\n\\n\n\n", v.pump)), 0, false,
         "U01F\n\n\nPrint Footer\n\n\\n\n\n"},
        {32893, TEXT(Format("U%02dR%s", v.pump, kReceipt)), 0, false,
         "U01RLine  1\nLine  2\nLine  3\nLine  4\nLine  5\nLine  6\nLine  7\nLine  8\n"
         "Line  9\nLine 10\nLine 11\nLine 12\nLine 13\nLine 14\nLine 15\n"},
        {32911, TEXT(Format("T%02dDisplay Line 1", v.pump)), 0, false, "T01Display Line 1"},
        {32912, TEXT("T00Global Display"), 0, false, "T00Global Display"},
        {32895, TEXT(Format("Q%02d05", v.pump)), 0, false, "Q0105"},
    };
    return list;
}

// ---------------------------------------------------------------------------
// Preset-authorize bindings: digits, hose and kind by family.

struct Preset {
    int id;
    int digits;
    char hose;
    char kind;
};

inline std::vector<Preset> Presets() {
    std::vector<Preset> list;
    list.push_back({32978, 6, '0', '1'});
    for (int h = 1; h <= 6; ++h) list.push_back({32965 + h, 6, static_cast<char>('0' + h), '1'});
    list.push_back({32979, 6, '0', '0'});
    for (int h = 1; h <= 6; ++h) list.push_back({32971 + h, 6, static_cast<char>('0' + h), '0'});
    struct Family {
        int firstId;
        int digits;
        char kind;
    };
    const Family families[] = {{32980, 10, '1'}, {32989, 10, '0'}, {32998, 6, '3'},
                               {33007, 6, '2'},  {33016, 10, '3'}, {33025, 10, '2'}};
    for (const Family& f : families) {
        for (int h = 0; h <= 8; ++h) list.push_back({f.firstId + h, f.digits, static_cast<char>('0' + h), f.kind});
    }
    return list;
}

inline std::string PresetText(const Preset& p, const Values& v) {
    if (p.digits == 6) return Format("A%02d%c%c%06d%06d", v.pump, p.hose, p.kind, v.preset, 10 * v.preset);
    return Format("A%02d%cE%c%010d%010d", v.pump, p.hose, p.kind, v.preset, 10 * v.preset);
}

// ---------------------------------------------------------------------------
// Price-series bindings: count and offset; one text per grade.

struct Series {
    int id;
    int count;
    int offset;
};

inline std::vector<Series> PriceSeries() {
    std::vector<Series> list;
    for (int c = 1; c <= 6; ++c) list.push_back({32952 + c, c, 0});
    for (int c = 1; c <= 6; ++c) list.push_back({32958 + c, c, 190000});
    return list;
}

inline std::vector<std::string> SeriesTexts(int count, int offset, const Values& v) {
    std::vector<std::string> texts;
    for (int i = 1; i <= count; ++i) {
        int first = v.priceBase + 1000 * (i - 1) + offset;
        texts.push_back(Format("J%02d%1dW%06d%06d", v.pump, i, first, first - 100));
    }
    return texts;
}

// Texts written out literally for a few bindings at the default settings.
inline const std::map<int, std::vector<std::string>>& LiteralBuilderTexts() {
    static const std::map<int, std::vector<std::string>> list = {
        {32966, {"A0111000100001000"}},           // Preset 6 > Cash > Hose&1
        {32981, {"A011E100000001000000001000"}},  // Preset 10 > Cash > Hose 1
        {32994, {"A015E000000001000000001000"}},  // Preset 10 > Credit > hose 5
        {33010, {"A0132000100001000"}},           // Volume6 > Credit > hose 3
        {32955, {"J011W001199001099", "J012W002199002099", "J013W003199003099"}},
        {32958,
         {"J011W001199001099", "J012W002199002099", "J013W003199003099", "J014W004199004099",
          "J015W005199005099", "J016W006199006099"}},
        {32959, {"J011W191199191099"}},
        {32964,
         {"J011W191199191099", "J012W192199192099", "J013W193199193099", "J014W194199194099",
          "J015W195199195099", "J016W196199196099"}},
    };
    return list;
}

// ---------------------------------------------------------------------------
// Settings and the other bindings without a message.

enum Field { COM_PORT, BAUD_RATE, PUMP, PRESET_AMOUNT, PRICE_BASE };

struct Setting {
    int id;
    Field field;
    int value;
};

inline std::vector<Setting> Settings() {
    std::vector<Setting> list;
    for (int k = 1; k <= 7; ++k) list.push_back({32776 + k, COM_PORT, k});
    list.push_back({32785, BAUD_RATE, 2400});
    list.push_back({32786, BAUD_RATE, 4800});
    list.push_back({32787, BAUD_RATE, 9600});
    list.push_back({32788, BAUD_RATE, 19200});
    const int pumpIds[32] = {32797, 32798, 32799, 32800, 32801, 32802, 32803, 32804,
                             32805, 32829, 32807, 32808, 32809, 32810, 32811, 32812,
                             32813, 32814, 32815, 32816, 32817, 32825, 32818, 32819,
                             32820, 32821, 32822, 32823, 32824, 32826, 32827, 32828};
    for (int n = 1; n <= 32; ++n) list.push_back({pumpIds[n - 1], PUMP, n});
    list.push_back({32941, PRESET_AMOUNT, 100});
    list.push_back({32942, PRESET_AMOUNT, 1000});
    list.push_back({32944, PRESET_AMOUNT, 10000});
    list.push_back({32945, PRESET_AMOUNT, 100000});
    list.push_back({32946, PRESET_AMOUNT, 1000000});
    list.push_back({32947, PRICE_BASE, 1199});
    list.push_back({32948, PRICE_BASE, 1159});
    return list;
}

inline int PumpId(int pump) {
    for (const Setting& s : Settings()) {
        if (s.field == PUMP && s.value == pump) return s.id;
    }
    return -1;
}

const int kRestart = 32789;
const int kExit = 105;
const std::vector<int> kPlaceholders = {32913, 32914, 32915, 32898, 32899, 32900};
const std::vector<int> kNothing = {32864, 32865, 32866, 32867, 32868, 32869, 32870, 32871, 65535};

// ---------------------------------------------------------------------------
// Hot keys (virtual-key codes).

struct HotMessage {
    int key;
    std::string (*text)(const Values&);
    int reply;
    const char* atDefaults;
};

inline const std::vector<HotMessage>& HotMessages() {
    static const std::vector<HotMessage> list = {
        {0x53, TEXT("FE"), 1, "FE"},
        {0x41, TEXT(Format("A%02d04000000000000", v.pump)), 0, "A0104000000000000"},
        {0x52, TEXT(Format("B%02dEHMS$VLPT", v.pump)), 1, "B01EHMS$VLPT"},
        {0x43, TEXT(Format("B%02dC", v.pump)), 0, "B01C"},
        {0x50, TEXT(Format("C%02d", v.pump)), 0, "C01"},
        {0x4D, TEXT(Format("D%02d", v.pump)), 0, "D01"},
        {0x30, TEXT(Format("J%02d1W000000000000", v.pump)), 0, "J011W000000000000"},
    };
    return list;
}

#undef TEXT

// Digit keys 1..3: a price series of that many grades, offset 0.
const std::vector<std::pair<int, int>> kHotSeries = {{0x31, 1}, {0x32, 2}, {0x33, 3}};
const int kLoopKey = 0x4C;

inline std::vector<int> AllHotKeys() {
    std::vector<int> keys;
    for (const HotMessage& m : HotMessages()) keys.push_back(m.key);
    for (const auto& s : kHotSeries) keys.push_back(s.first);
    keys.push_back(kLoopKey);
    return keys;
}

// Every command id the menu binds.
inline std::vector<int> AllMenuIds() {
    std::vector<int> ids;
    for (const Row& row : Tree()) {
        if (row.id != 0) ids.push_back(row.id);
    }
    return ids;
}

// ---------------------------------------------------------------------------
// Wire helpers, written from the frame rules rather than taken from the link code.

inline std::string WireFrame(const std::string& text) {
    unsigned sum = 0x02 + 0x03;
    for (unsigned char c : text) sum += c;
    std::string frame;
    frame += '\x02';
    frame += text;
    frame += '\x03';
    frame += static_cast<char>((0x100 - (sum & 0x7F)) & 0x7F);
    return frame;
}

// The trace rendering of `bytes` when it fits one line.
inline std::string TraceOf(const std::string& bytes) {
    std::string out;
    char piece[8];
    for (unsigned char b : bytes) {
        if (b >= 0x20 && b <= 0x7E) {
            out += static_cast<char>(b);
        } else {
            std::snprintf(piece, sizeof piece, " [%02X]", b);
            out += piece;
        }
    }
    return out;
}

}  // namespace expected
