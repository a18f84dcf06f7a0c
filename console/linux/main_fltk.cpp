// The Linux front end of the console: the main window with its menu bar and the
// painted status panel, FLTK's event loop, and the console's start-up and shutdown
// around them. The front end only draws the panel items and turns window events
// into the command table's menu and hot-key calls.
#include <FL/Enumerations.H>
#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Widget.H>
#include <FL/fl_draw.H>

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "commands/dispatch.h"
#include "console/lifecycle.h"
#include "console/linux/boxes_fltk.h"
#include "console/linux/keymap.h"
#include "console/linux/menu_fltk.h"
#include "console/panel.h"
#include "console/poll.h"
#include "link/transaction.h"

namespace {

enum {
    MENU_BAR_HEIGHT = 25,
    MENU_TEXT_SIZE = 13,
    // A fixed-pitch face whose cells (8 x 15 px at this size) fit an 80-character
    // trace line from x = 5, and the legend with "  (looping)" from x = 650, in
    // 900 px, and whose lines fit the 15 px between the legend's first rows.
    PANEL_FONT = FL_COURIER,
    PANEL_FONT_SIZE = 13,
    ICON_SIZE = 32,
};

// --- the status panel --------------------------------------------------------

// The client area below the menu bar: white, with every panel item drawn at its
// position, y being the top of the text. It takes the keyboard focus so keys
// reach the window rather than the menu bar.
class PanelView : public Fl_Widget {
public:
    PanelView(int x, int y, int w, int h) : Fl_Widget(x, y, w, h) {}

    int handle(int event) override {
        switch (event) {
            case FL_FOCUS:
            case FL_UNFOCUS:
                return 1;
            case FL_PUSH:
                take_focus();
                return 1;
            default:
                return Fl_Widget::handle(event);
        }
    }

protected:
    void draw() override {
        fl_push_clip(x(), y(), w(), h());
        fl_color(FL_WHITE);
        fl_rectf(x(), y(), w(), h());
        fl_font(PANEL_FONT, PANEL_FONT_SIZE);
        fl_color(FL_BLACK);
        const int ascent = fl_height() - fl_descent();
        PanelItem items[PANEL_ITEM_COUNT];
        const int count = BuildPanel(items);
        for (int i = 0; i < count; ++i) {
            if (items[i].text[0] == '\0') continue;
            fl_draw(items[i].text, x() + items[i].x, y() + items[i].y + ascent);
        }
        fl_pop_clip();
    }
};

// --- the main window ---------------------------------------------------------

// Key presses become hot keys, whichever of the window's widgets has the focus;
// with Alt held they are left to the menu bar's mnemonics. Every key is consumed,
// so none comes back as a shortcut and Escape never closes the window.
class MainWindow : public Fl_Double_Window {
public:
    MainWindow(int x, int y, int w, int h, const char* title) : Fl_Double_Window(x, y, w, h, title) {}

    int handle(int event) override {
        if ((event == FL_KEYBOARD || event == FL_SHORTCUT) && KeyIsOurs()) {
            if (Fl::event_state(FL_ALT) != 0) {
                // FLTK offers an unused key press again as a shortcut (and once more
                // with the letter's case swapped), which the menu bar matches
                // against its "&" mnemonics. Escape stays here.
                if (event == FL_KEYBOARD) return 0;
                return Fl_Double_Window::handle(event) != 0 || Fl::event_key() == FL_Escape ? 1 : 0;
            }
            unsigned short code = VirtualKeyFor(Fl::event_key(), Fl::event_text());
            if (code != VK_CODE_NONE) DispatchHotKey(code);
            return 1;
        }
        return Fl_Double_Window::handle(event);
    }

private:
    // A key belongs to this window when the focus is here (or nowhere); FLTK also
    // offers shortcuts to the window under the mouse, which may not be the one
    // the operator is typing into (a message box).
    bool KeyIsOurs() {
        Fl_Widget* focus = Fl::focus();
        return focus == nullptr || focus == this || contains(focus) != 0;
    }
};

PanelView* panelView = nullptr;
pthread_t uiThread;
bool shutDown = false;
std::atomic<int> repaintQueued{0};

Fl_Menu_Item menuBarItems[MENU_BAR_ITEMS];
unsigned char iconPixels[ICON_SIZE * ICON_SIZE * 4];

// --- repaint -----------------------------------------------------------------

void RepaintOnUiThread(void*) {
    repaintQueued.store(0);
    if (panelView != nullptr) panelView->redraw();
}

// The link layer's repaint request, from any thread. On the user-interface thread
// the panel is marked for redrawing at once; a worker queues one redraw for the
// event loop (and no second while that one is still queued).
void RepaintHook() {
    if (pthread_equal(pthread_self(), uiThread)) {
        if (panelView != nullptr) panelView->redraw();
        return;
    }
    if (repaintQueued.exchange(1) == 0 && Fl::awake(RepaintOnUiThread, nullptr) != 0) {
        repaintQueued.store(0);  // FLTK's queue is full: the next request tries again
    }
}

// --- shutdown ----------------------------------------------------------------

// Closing the window and "E&xit" both end here. Every window is hidden first -
// message boxes included, whose loops then answer "no" - and the unmapping is
// sent to the X server at once, so the console leaves the screen before the
// shutdown waits. Then the worker threads are stopped (each within about 2 s,
// else abandoned) and the port is forgotten; the event loop ends with no window.
void ShutDown() {
    if (shutDown) return;
    shutDown = true;
    while (Fl_Window* window = Fl::first_window()) window->hide();
    Fl::flush();
    ConsoleShutdown();
}

void OnWindowClose(Fl_Widget*, void*) { ShutDown(); }

void OnMenuCommand(Fl_Widget*, void* data) {
    DispatchMenuCommand(static_cast<unsigned short>(reinterpret_cast<std::uintptr_t>(data)));
}

class FltkConsoleUi final : public ConsoleUi {
public:
    int AskYesNo(const char* text, const char* caption) override {
        return RunMessageBox(BOX_YES_NO_WARNING, text, caption);
    }
    void Inform(const char* text, const char* caption) override { RunMessageBox(BOX_OK, text, caption); }
    void CloseMainWindow() override { ShutDown(); }
};

FltkConsoleUi consoleUi;

// --- the icon ----------------------------------------------------------------

// A dark blue tile with a white "Z", drawn into the static pixel buffer.
void PaintIcon() {
    for (int y = 0; y < ICON_SIZE; ++y) {
        for (int x = 0; x < ICON_SIZE; ++x) {
            unsigned char* p = &iconPixels[(y * ICON_SIZE + x) * 4];
            bool edge = x == 0 || y == 0 || x == ICON_SIZE - 1 || y == ICON_SIZE - 1;
            bool bar = (y >= 6 && y <= 9) || (y >= 22 && y <= 25);
            int diagonal = (ICON_SIZE - 1 - y) - x;  // 0 on the rising diagonal
            bool stroke = y > 9 && y < 22 && diagonal >= -3 && diagonal <= 2;
            bool letter = x >= 6 && x <= 25 && (bar || stroke);
            unsigned char r = 0, g = 70, b = 150;
            if (edge) r = 0, g = 30, b = 80;
            if (letter) r = 255, g = 255, b = 255;
            p[0] = r;
            p[1] = g;
            p[2] = b;
            p[3] = 255;
        }
    }
}

}  // namespace

// The command line is ignored.
int main() {
    uiThread = pthread_self();
    Fl::lock();  // from here on, worker threads may wake the event loop
    SetConsoleUi(&consoleUi);
    SetRepaintHook(RepaintHook);

    if (BuildMenuBarItems(menuBarItems, MENU_BAR_ITEMS, OnMenuCommand) < 0) return 0;
    PaintIcon();
    Fl_RGB_Image icon(iconPixels, ICON_SIZE, ICON_SIZE, 4);

    // Children are declared after the window, so they are destroyed before it.
    MainWindow window(WINDOW_X, WINDOW_Y, WINDOW_WIDTH, WINDOW_HEIGHT, WindowTitle);
    window.xclass(WindowTitle);
    window.color(FL_WHITE);
    window.icon(&icon);
    window.callback(OnWindowClose);
    Fl_Menu_Bar menuBar(0, 0, WINDOW_WIDTH, MENU_BAR_HEIGHT);
    menuBar.textsize(MENU_TEXT_SIZE);
    menuBar.box(FL_FLAT_BOX);
    menuBar.menu(menuBarItems);
    PanelView panel(0, MENU_BAR_HEIGHT, WINDOW_WIDTH, WINDOW_HEIGHT - MENU_BAR_HEIGHT);
    window.resizable(panel);
    window.end();
    panelView = &panel;

    // Shown (mapped) first; the first paint, like every key and menu command,
    // waits for the event loop, which runs once the console has started.
    window.show();
    panel.take_focus();
    (void)ConsoleStart();
    Fl::run();

    SetRepaintHook(nullptr);
    panelView = nullptr;
    std::fflush(nullptr);
    // A worker abandoned by the shutdown (a status poll whose receive window can
    // no longer close) is still running. Static destructors - FLTK's and the
    // runtime's - must not run under it, so the process then ends here without
    // them; the abandoned thread ends with it.
    if (tickDone.load() != 0 || pollDone.load() != 0) std::_Exit(0);
    return 0;
}
