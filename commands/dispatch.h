// Menu commands and hot keys: look the id or key up in the table and run its action.
#pragma once

#include "commands/menu_table.h"
#include "commands/settings.h"

// What a front end (or a test) provides to the command table. All calls come from
// the user-interface thread.
class ConsoleUi {
public:
    // "ARE YOU SURE?" style question with Yes and No and a warning icon.
    // Returns 1 for Yes, 0 for anything else.
    virtual int AskYesNo(const char* text, const char* caption) = 0;
    // Information box with OK only.
    virtual void Inform(const char* text, const char* caption) = 0;
    // Destroys the main window, which starts the shutdown.
    virtual void CloseMainWindow() = 0;

protected:
    ~ConsoleUi() = default;
};

// Installs the front end; nullptr leaves boxes unanswered (No) and exit ignored.
void SetConsoleUi(ConsoleUi* ui);

// Runs the action bound to menu `id`, then requests a repaint (except for "E&xit").
// Unbound ids only repaint.
void DispatchMenuCommand(unsigned short id);

// Runs the action bound to virtual-key `keyCode`; no repaint of its own.
void DispatchHotKey(unsigned short keyCode);

// How many messages `action` sends: 1 for a message (confirmed or not) and a
// preset authorize, the grade count for a price series, 0 for everything else.
int ActionMessageCount(const Action& action);

// Writes message `index` (0-based) of `action` as it would be sent with `settings`
// into `out` (`size` bytes) and its reply flag into *reply, sending nothing.
// Returns the text's length, or -1 for an index the action does not have or a
// text that would not fit.
int FormatActionMessage(const Action& action, const ConsoleSettings& settings, int index, char* out, int size,
                        int* reply);

// Runs one action on the calling (user-interface) thread.
void RunAction(const Action& action);

// The box texts, exactly as the operator sees them.
extern const char ConfirmText[];
extern const char ConfirmCaption[];
extern const char PlaceholderText[];
extern const char PlaceholderCaption[];
