#include "console/linux/boxes_fltk.h"

#include <FL/Enumerations.H>
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Return_Button.H>
#include <FL/Fl_Widget.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>

namespace {

enum {
    MARGIN = 16,
    SIGN_SIZE = 36,
    BUTTON_WIDTH = 80,
    BUTTON_HEIGHT = 26,
    BUTTON_GAP = 10,
    TEXT_SIZE = 14,
};

// A yellow triangle with a black "!".
class WarningSign : public Fl_Widget {
public:
    WarningSign(int x, int y, int size) : Fl_Widget(x, y, size, size) {}

protected:
    void draw() override {
        int left = x(), top = y(), size = w();
        fl_color(FL_YELLOW);
        fl_polygon(left + size / 2, top + 1, left + size - 1, top + size - 2, left, top + size - 2);
        fl_color(FL_BLACK);
        fl_loop(left + size / 2, top + 1, left + size - 1, top + size - 2, left, top + size - 2);
        fl_font(FL_HELVETICA_BOLD, size / 2);
        fl_draw("!", left, top + size / 4, size, size - size / 4, FL_ALIGN_CENTER);
    }
};

struct BoxState {
    Fl_Window* window;
    int answer;
};

void Answer(Fl_Widget* button, void* value) {
    BoxState* state = static_cast<BoxState*>(button->window()->user_data());
    state->answer = static_cast<int>(reinterpret_cast<long>(value));
    state->window->hide();
}

// The close button: an OK box takes it as OK; a Yes/No box has no answer for it
// and stays open (Escape likewise).
void CloseOkBox(Fl_Widget* window, void*) {
    static_cast<BoxState*>(window->user_data())->answer = 1;
    window->hide();
}

void IgnoreClose(Fl_Widget*, void*) {}

}  // namespace

int RunMessageBox(BoxKind kind, const char* text, const char* caption) {
    fl_font(FL_HELVETICA, TEXT_SIZE);
    int textWidth = 0, textHeight = 0;
    fl_measure(text, textWidth, textHeight, 0);

    const bool yesNo = kind == BOX_YES_NO_WARNING;
    const int signRoom = yesNo ? SIGN_SIZE + MARGIN : 0;
    const int buttonsWidth = yesNo ? 2 * BUTTON_WIDTH + BUTTON_GAP : BUTTON_WIDTH;
    int width = MARGIN + signRoom + textWidth + MARGIN;
    if (width < buttonsWidth + 2 * MARGIN) width = buttonsWidth + 2 * MARGIN;
    if (width < 240) width = 240;
    const int contentHeight = textHeight > SIGN_SIZE ? textHeight : SIGN_SIZE;
    const int height = MARGIN + contentHeight + MARGIN + BUTTON_HEIGHT + MARGIN;

    BoxState state = {nullptr, 0};
    Fl_Window window((Fl::w() - width) / 2, (Fl::h() - height) / 2, width, height, caption);
    state.window = &window;
    window.user_data(&state);
    window.callback(yesNo ? IgnoreClose : CloseOkBox);

    // Children are destroyed before the window (reverse order of declaration),
    // each taking itself out of it, so the window never deletes them.
    WarningSign sign(MARGIN, MARGIN, SIGN_SIZE);
    if (!yesNo) sign.hide();
    Fl_Box message(MARGIN + signRoom, MARGIN, width - MARGIN - signRoom - MARGIN, contentHeight, text);
    message.labelsize(TEXT_SIZE);
    message.align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE);

    const int buttonsY = MARGIN + contentHeight + MARGIN;
    const int firstX = (width - buttonsWidth) / 2;
    Fl_Return_Button first(firstX, buttonsY, BUTTON_WIDTH, BUTTON_HEIGHT, yesNo ? "&Yes" : "OK");
    first.callback(Answer, reinterpret_cast<void*>(1L));
    Fl_Button second(firstX + BUTTON_WIDTH + BUTTON_GAP, buttonsY, BUTTON_WIDTH, BUTTON_HEIGHT, "&No");
    second.callback(Answer, reinterpret_cast<void*>(0L));
    if (!yesNo) second.hide();
    window.end();

    window.show();
    first.take_focus();
    while (window.shown()) Fl::wait();
    return state.answer;
}
