// The Windows front end: the main window, its message loop, the painted panel and
// the message boxes of the command table. Everything it shows or does comes from
// the core (BuildPanel, DispatchMenuCommand, DispatchHotKey, ConsoleStart and
// ConsoleShutdown); this file only connects them to user32 and gdi32.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <cstring>

#include "commands/dispatch.h"
#include "commands/menu_table.h"
#include "console/lifecycle.h"
#include "console/panel.h"
#include "link/transaction.h"

namespace {

// Set on the user-interface thread before any worker starts; cleared when the
// window is gone, so a late repaint request from an abandoned worker does nothing.
std::atomic<HWND> mainWindow(nullptr);

// Invalidates the whole client area; any thread may call it, the painting itself
// happens on the user-interface thread.
void RepaintMainWindow() {
    HWND window = mainWindow.load();
    if (window == nullptr) return;  // InvalidateRect(NULL) would hit every window
    RECT client;
    if (!GetClientRect(window, &client)) return;
    (void)InvalidateRect(window, &client, TRUE);
}

class Win32Ui final : public ConsoleUi {
public:
    int AskYesNo(const char* text, const char* caption) override {
        return MessageBoxA(nullptr, text, caption, MB_YESNO | MB_ICONWARNING) == IDYES ? 1 : 0;
    }

    void Inform(const char* text, const char* caption) override {
        (void)MessageBoxA(nullptr, text, caption, MB_OK);
    }

    void CloseMainWindow() override {
        HWND window = mainWindow.load();
        if (window != nullptr) (void)DestroyWindow(window);
    }
};

Win32Ui ui;

void PaintPanel(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    if (dc != nullptr) {
        (void)SelectObject(dc, GetStockObject(SYSTEM_FIXED_FONT));
        PanelItem items[PANEL_ITEM_COUNT];
        int count = BuildPanel(items);
        for (int i = 0; i < count; ++i) {
            int length = static_cast<int>(std::strlen(items[i].text));
            (void)TextOutA(dc, items[i].x, items[i].y, items[i].text, length);
        }
    }
    (void)EndPaint(window, &paint);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT:
            PaintPanel(window);
            return 0;
        case WM_KEYDOWN:
            DispatchHotKey(LOWORD(wParam));
            return 0;
        case WM_COMMAND:
            DispatchMenuCommand(LOWORD(wParam));
            return 0;
        case WM_DESTROY:
            ConsoleShutdown();
            mainWindow.store(nullptr);
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcA(window, message, wParam, lParam);
    }
}

}  // namespace

// The command line and the show request are ignored: the window always opens the
// same way, and nothing is configured from outside.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    WNDCLASSEXA windowClass;
    std::memset(&windowClass, 0, sizeof windowClass);
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, "IDI_APP");
    windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszMenuName = MAKEINTRESOURCEA(MENU_RESOURCE_ID);
    windowClass.lpszClassName = WindowTitle;
    windowClass.hIconSm = LoadIconA(instance, "IDI_APP");
    if (RegisterClassExA(&windowClass) == 0) return 0;

    SetConsoleUi(&ui);
    HWND window = CreateWindowExA(0, WindowTitle, WindowTitle, WS_OVERLAPPEDWINDOW, WINDOW_X, WINDOW_Y,
                                  WINDOW_WIDTH, WINDOW_HEIGHT, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 0;  // nothing to run a message loop for
    mainWindow.store(window);
    SetRepaintHook(RepaintMainWindow);
    (void)ShowWindow(window, SW_SHOWNORMAL);
    (void)UpdateWindow(window);

    (void)ConsoleStart();  // a worker that did not start leaves the console usable

    MSG message;
    for (;;) {
        BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got == 0 || got == -1 || message.message == WM_QUIT) break;
        (void)TranslateMessage(&message);
        (void)DispatchMessageA(&message);
    }
    return 0;
}
