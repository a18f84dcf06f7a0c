// The console's two message boxes on Linux: a question with Yes and No and a
// warning sign, and a notice with OK. Each box is a window of its own with no
// owner: it runs its own event loop on the user-interface thread until answered,
// the main window stays usable meanwhile and the worker threads go on.
#pragma once

enum BoxKind {
    BOX_YES_NO_WARNING,  // "&Yes" (the default) and "&No", a warning sign
    BOX_OK,              // "OK" only, no sign
};

// Shows the box and waits for the answer. Returns 1 for Yes or OK, 0 for No or
// when the box was closed without an answer (the console shutting down).
int RunMessageBox(BoxKind kind, const char* text, const char* caption);
