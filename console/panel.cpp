#include "console/panel.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "commands/menu_table.h"
#include "commands/settings.h"
#include "link/transaction.h"

const char WindowTitle[] = "Zantrox Test Utility [2.00]  -  Mar 30 2016";

namespace {

// A legend line is the hot key's label padded to 18 characters, then the key.
struct LegendLine {
    int y;
    char key;  // its HotKey's keyCode, which is the character for letters and digits
};

const LegendLine Legend[] = {
    {90, 'S'},  {110, 'L'}, {150, 'A'}, {170, 'R'}, {190, 'C'}, {210, 'P'},
    {230, 'M'}, {280, '0'}, {300, '1'}, {320, '2'}, {340, '3'},
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
        const HotKey* hot = FindHotKey(static_cast<unsigned char>(line.key));
        const char* marker = line.y == LegendLoopY && looping.load() == 1 ? "  (looping)" : "";
        Put(items[n++], LegendX, line.y, "%-18s%c%s", hot != nullptr ? hot->label : "", line.key, marker);
    }
    Put(items[n++], 100, 5, "Pump Number:  %2d", s.pumpNumber);
    Put(items[n++], 5, 50, "%s", TraceTxHeading);
    for (int i = 0; i < TRACE_LINE_COUNT; ++i) Put(items[n++], 5, 70 + 20 * i, "%s", tx.line[i]);
    Put(items[n++], 5, 200, "%s%s", TraceRxHeading, verdict == 0 ? TraceChecksumOk : TraceChecksumError);
    for (int i = 0; i < TRACE_LINE_COUNT; ++i) Put(items[n++], 5, 220 + 20 * i, "%s", rx.line[i]);
    return n;
}
