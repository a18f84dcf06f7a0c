// The status panel as data: every text the main window paints, with its client
// position, in paint order. Both front ends draw exactly these items in a
// fixed-pitch font on white; nothing else decides what the panel shows.
#pragma once

enum {
    PANEL_TEXT_BYTES = 100,
    PANEL_ITEM_COUNT = 27,  // 14 legend items, pump, "TxD:  ", 5 TX, RX heading, 5 RX
    WINDOW_X = 30,
    WINDOW_Y = 100,
    WINDOW_WIDTH = 900,
    WINDOW_HEIGHT = 500,
};

struct PanelItem {
    int x;
    int y;
    char text[PANEL_TEXT_BYTES];  // empty trace lines are empty texts and draw nothing
};

// The window's class name and title.
extern const char WindowTitle[];

// Fills `items` from the current settings, loop flag, verdict and traces.
// Returns the number of items (PANEL_ITEM_COUNT).
int BuildPanel(PanelItem items[PANEL_ITEM_COUNT]);
