#include "console/panel.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "commands/settings.h"
#include "link/transaction.h"

const char WindowTitle[] = "Zantrox Test Utility [2.00]  -  Mar 30 2016";
const char TxHeading[] = "TxD:  ";
const char RxHeadingOk[] = "RxD:  (CheckSum = OK)";
const char RxHeadingError[] = "RxD:  (CheckSum = ERROR)";

namespace {

struct LegendLine {
    int y;
    const char* text;  // the label padded to 18 characters, then the key
};

const LegendLine Legend[] = {
    {90, "Status            S"},
    {110, "Loop on Status    L"},
    {150, "Authorize         A"},
    {170, "Sale Read         R"},
    {190, "Sale Clear        C"},
    {210, "Stop              P"},
    {230, "Resume            M"},
    {280, "Clear Price       0"},
    {300, "One Price         1"},
    {320, "Two Prices        2"},
    {340, "Three Prices      3"},
};

const int LegendX = 650;
const int LegendLoopY = 110;

// snprintf that never leaves an unterminated or silently cut item: a text that
// does not fit (it cannot, with the values the menus offer) is shown cut, ending in '~'.

void Put(PanelItem& item, int x, int y, const char* format, ...) {
    item.x = x;
    item.y = y;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(item.text, sizeof item.text, format, args);
    va_end(args);
    if (n < 0) item.text[0] = '\0';
    else if (n >= static_cast<int>(sizeof item.text)) item.text[sizeof item.text - 2] = '~';
}

}  // namespace

const char* LegendLineFor(char key) {
    for (const LegendLine& line : Legend) {
        if (line.text[LEGEND_KEY_COLUMN] == key) return line.text;
    }
    return nullptr;
}

int BuildPanel(PanelItem items[PANEL_ITEM_COUNT]) {
    TraceLines tx;
    TraceLines rx;
    int verdict = 0;
    CopyTraces(tx, rx, verdict);
    const ConsoleSettings& s = Settings;

    int n = 0;
    Put(items[n++], LegendX, 20, "%s", "      Hot Keys");
    Put(items[n++], LegendX, 35, "Preset Amount = %6.2f", s.presetAmount / 100.0);
    Put(items[n++], LegendX, 55, "Price Base =    %6.3f", s.priceBase / 1000.0);
    for (const LegendLine& line : Legend) {
        const char* marker = line.y == LegendLoopY && looping.load() == 1 ? "  (looping)" : "";
        Put(items[n++], LegendX, line.y, "%s%s", line.text, marker);
    }
    Put(items[n++], 100, 5, "Pump Number:  %2d", s.pumpNumber);
    Put(items[n++], 5, 50, "%s", TxHeading);
    for (int i = 0; i < TRACE_LINE_COUNT; ++i) Put(items[n++], 5, 70 + 20 * i, "%s", tx.line[i]);
    Put(items[n++], 5, 200, "%s", verdict == 0 ? RxHeadingOk : RxHeadingError);
    for (int i = 0; i < TRACE_LINE_COUNT; ++i) Put(items[n++], 5, 220 + 20 * i, "%s", rx.line[i]);
    return n;
}
