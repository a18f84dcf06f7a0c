// Test driver for the Windows console under Wine: finds the main window (or one of
// its message boxes) and posts it what an operator would do. One verb per run;
// exit code 0 on success, 1 on a failed check (with a message on stderr), 2 on a
// usage error.
//
//   driver wait-window TIMEOUT_MS        the main window exists and is visible
//   driver rect                          prints the window rectangle "x y w h"
//   driver command ID [ID ...]           WM_COMMAND with each id, in order
//   driver key VK [VK ...]               WM_KEYDOWN with each virtual-key code
//   driver post mID|kVK ...              both kinds mixed, in order
//   driver answer-box CAPTION TEXT yes|no|ok TIMEOUT_MS
//                                        a box with that caption and text, with
//                                        the buttons the answer implies, no owner
//                                        window, of the console's process; pressed
//   driver no-box CAPTION                no box with that caption is open
//   driver close                         WM_CLOSE to the main window
//   driver wait-gone TIMEOUT_MS          the main window no longer exists
//   driver close-on-growth FILE TIMEOUT_MS
//                                        WM_CLOSE as soon as FILE grows
//   driver com-write PORT TEXT           opens PORT ("Com1") at 9600 8N1 and writes
//                                        TEXT framed (STX, text, ETX, checksum)
//   driver version FILE                  prints FILE's version resource as Windows
//                                        reads it: "Name=value" lines, the fixed
//                                        numbers as "FileVersion#" and "ProductVersion#"
//   driver rest MS                       does nothing for MS (what Wine's own processes
//                                        cost while a program runs, for the CPU benchmark)
//   driver line-rest PORT MS             opens PORT as the console does and, for MS, asks
//                                        its input queue and rests 1 ms, over and over:
//                                        the least a device waiting that way can cost;
//                                        prints the number of rests
//
// Numbers are decimal or 0x hexadecimal.

#include <windows.h>
#include <mmsystem.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const char kWindowClass[] = "Zantrox Test Utility [2.00]  -  Mar 30 2016";
const char kBoxClass[] = "#32770";
const DWORD kPollMs = 10;

int Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

int Fail(const char* format, ...) {
    std::fprintf(stderr, "driver: ");
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, "\n");
    return 1;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: driver wait-window MS | rect | command ID... | key VK... | post mID|kVK... |\n"
                 "       answer-box CAPTION TEXT yes|no|ok MS | no-box CAPTION | close |\n"
                 "       wait-gone MS | close-on-growth FILE MS | com-write PORT TEXT | version FILE |\n"
                 "       rest MS | line-rest PORT MS\n");
    return 2;
}

bool ParseNumber(const char* text, unsigned long& value) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    unsigned long parsed = std::strtoul(text, &end, 0);
    if (end == nullptr || *end != '\0') return false;
    value = parsed;
    return true;
}

HWND MainWindow() { return FindWindowA(kWindowClass, nullptr); }

// The main window once it exists and is visible, or nullptr after `timeoutMs`.
HWND WaitMainWindow(DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        HWND window = MainWindow();
        if (window != nullptr && IsWindowVisible(window)) return window;
        if (GetTickCount() - start >= timeoutMs) return nullptr;
        Sleep(kPollMs);
    }
}

int WaitWindow(int argc, char** argv) {
    unsigned long timeout = 0;
    if (argc != 3 || !ParseNumber(argv[2], timeout)) return Usage();
    DWORD start = GetTickCount();
    HWND window = WaitMainWindow(timeout);
    if (window == nullptr) return Fail("no visible main window within %lu ms", timeout);
    std::printf("window %p after %lu ms\n", static_cast<void*>(window),
                static_cast<unsigned long>(GetTickCount() - start));
    return 0;
}

int Rect(int argc) {
    if (argc != 2) return Usage();
    HWND window = MainWindow();
    if (window == nullptr) return Fail("no main window");
    RECT rect;
    if (!GetWindowRect(window, &rect)) return Fail("GetWindowRect failed (%lu)", GetLastError());
    RECT client;
    if (!GetClientRect(window, &client)) return Fail("GetClientRect failed (%lu)", GetLastError());
    std::printf("%ld %ld %ld %ld client %ld %ld\n", rect.left, rect.top, rect.right - rect.left,
                rect.bottom - rect.top, client.right, client.bottom);
    return 0;
}

bool PostOne(HWND window, UINT message, unsigned long value) {
    LPARAM lParam = 0;
    if (message == WM_KEYDOWN) {
        // Repeat count 1 and the key's scan code, as a real key press has.
        UINT scan = MapVirtualKeyA(static_cast<UINT>(value), MAPVK_VK_TO_VSC);
        lParam = static_cast<LPARAM>(1 | ((scan & 0xFF) << 16));
    }
    return PostMessageA(window, message, static_cast<WPARAM>(value), lParam) != 0;
}

// message 0: each argument names its own message, "m" + menu id or "k" + key code.
int Post(int argc, char** argv, UINT message) {
    if (argc < 3) return Usage();
    HWND window = MainWindow();
    if (window == nullptr) return Fail("no main window");
    for (int i = 2; i < argc; ++i) {
        const char* number = argv[i];
        UINT each = message;
        if (each == 0) {
            if (number[0] == 'm') each = WM_COMMAND;
            if (number[0] == 'k') each = WM_KEYDOWN;
            if (each == 0) return Usage();
            ++number;
        }
        unsigned long value = 0;
        if (!ParseNumber(number, value) || value > 0xFFFF) return Usage();
        if (!PostOne(window, each, value)) {
            return Fail("PostMessageA failed for %s (%lu)", argv[i], GetLastError());
        }
    }
    return 0;
}

struct BoxSearch {
    const char* caption;
    HWND found;
};

BOOL CALLBACK FindBox(HWND window, LPARAM param) {
    BoxSearch* search = reinterpret_cast<BoxSearch*>(param);
    char className[64];
    if (GetClassNameA(window, className, sizeof className) == 0) return TRUE;
    if (std::strcmp(className, kBoxClass) != 0) return TRUE;
    char caption[256];
    int length = GetWindowTextA(window, caption, sizeof caption);
    if (length < 0) return TRUE;
    caption[length] = '\0';
    if (std::strcmp(caption, search->caption) != 0) return TRUE;
    search->found = window;
    return FALSE;
}

HWND FindBoxByCaption(const char* caption) {
    BoxSearch search = {caption, nullptr};
    EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

BOOL CALLBACK ShowWindowOfProcess(HWND window, LPARAM param) {
    DWORD process = 0;
    if (GetWindowThreadProcessId(window, &process) == 0 || process != static_cast<DWORD>(param)) return TRUE;
    char className[64] = "";
    char caption[128] = "";
    GetClassNameA(window, className, sizeof className);
    GetWindowTextA(window, caption, sizeof caption);
    std::fprintf(stderr, "driver:   window %p class \"%s\" caption \"%s\"%s%s\n", static_cast<void*>(window),
                 className, caption, IsWindowVisible(window) ? " visible" : " hidden",
                 IsWindowEnabled(window) ? "" : " disabled");
    return TRUE;
}

// What the console showed when a box did not come: its top-level windows, and
// whether its thread still answers (a hung console and a lost message look alike).
void ShowConsoleState() {
    HWND window = MainWindow();
    if (window == nullptr) {
        std::fprintf(stderr, "driver:   no main window\n");
        return;
    }
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    EnumWindows(ShowWindowOfProcess, static_cast<LPARAM>(process));
    DWORD_PTR result = 0;
    DWORD start = GetTickCount();
    bool answered = SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &result) != 0;
    std::fprintf(stderr, "driver:   the console's thread %s (%lu ms)\n", answered ? "answered" : "did not answer",
                 static_cast<unsigned long>(GetTickCount() - start));
}

struct TextSearch {
    const char* text;
    bool found;
    char seen[512];  // the static texts seen, for the failure message
};

BOOL CALLBACK FindStatic(HWND child, LPARAM param) {
    TextSearch* search = reinterpret_cast<TextSearch*>(param);
    char className[64];
    if (GetClassNameA(child, className, sizeof className) == 0) return TRUE;
    if (lstrcmpiA(className, "Static") != 0) return TRUE;
    char text[256];
    DWORD_PTR length = 0;
    // WM_GETTEXT crosses the process boundary; GetWindowText would not for controls.
    if (!SendMessageTimeoutA(child, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                             SMTO_ABORTIFHUNG, 2000, &length)) {
        return TRUE;
    }
    if (length >= sizeof text) length = sizeof text - 1;
    text[length] = '\0';
    if (length == 0) return TRUE;  // the icon
    size_t used = std::strlen(search->seen);
    std::snprintf(search->seen + used, sizeof search->seen - used, "%s\"%s\"",
                  used == 0 ? "" : ", ", text);
    if (std::strcmp(text, search->text) == 0) search->found = true;
    return TRUE;
}

bool HasButton(HWND box, int id) {
    HWND button = GetDlgItem(box, id);
    return button != nullptr && IsWindowVisible(button);
}

int AnswerBox(int argc, char** argv) {
    unsigned long timeout = 0;
    if (argc != 6 || !ParseNumber(argv[5], timeout)) return Usage();
    const char* caption = argv[2];
    const char* text = argv[3];
    const char* answer = argv[4];
    int press = 0;
    bool yesNo = false;
    if (std::strcmp(answer, "yes") == 0) {
        press = IDYES;
        yesNo = true;
    } else if (std::strcmp(answer, "no") == 0) {
        press = IDNO;
        yesNo = true;
    } else if (std::strcmp(answer, "ok") == 0) {
        press = IDOK;
    } else {
        return Usage();
    }

    DWORD start = GetTickCount();
    HWND box = nullptr;
    for (;;) {
        box = FindBoxByCaption(caption);
        if (box != nullptr && IsWindowVisible(box)) break;
        if (GetTickCount() - start >= timeout) {
            Fail("no box with caption \"%s\" within %lu ms", caption, timeout);
            ShowConsoleState();
            return 1;
        }
        Sleep(kPollMs);
    }

    HWND window = MainWindow();
    if (window == nullptr) return Fail("box \"%s\" found but no main window", caption);
    DWORD boxProcess = 0;
    DWORD windowProcess = 0;
    if (GetWindowThreadProcessId(box, &boxProcess) == 0 ||
        GetWindowThreadProcessId(window, &windowProcess) == 0) {
        return Fail("GetWindowThreadProcessId failed (%lu)", GetLastError());
    }
    if (boxProcess != windowProcess) {
        return Fail("box \"%s\" belongs to process %lu, not the console's", caption,
                    static_cast<unsigned long>(boxProcess));
    }
    HWND owner = GetWindow(box, GW_OWNER);
    if (owner != nullptr) {
        return Fail("box \"%s\" has an owner window (%lx); it should have none", caption,
                    static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(owner)));
    }

    TextSearch search = {text, false, {0}};
    EnumChildWindows(box, FindStatic, reinterpret_cast<LPARAM>(&search));
    if (!search.found) {
        std::fprintf(stderr, "driver: box \"%s\" shows %s, expected \"%s\"\n", caption,
                     search.seen[0] != '\0' ? search.seen : "no text", text);
        return 1;
    }

    bool yes = HasButton(box, IDYES);
    bool no = HasButton(box, IDNO);
    bool ok = HasButton(box, IDOK);
    bool cancel = HasButton(box, IDCANCEL);
    bool rightButtons = yesNo ? (yes && no && !ok && !cancel) : (ok && !yes && !no && !cancel);
    if (!rightButtons) {
        std::fprintf(stderr, "driver: box \"%s\" has buttons%s%s%s%s, expected %s\n", caption,
                     yes ? " Yes" : "", no ? " No" : "", ok ? " OK" : "", cancel ? " Cancel" : "",
                     yesNo ? "Yes and No" : "OK alone");
        return 1;
    }

    // What a click on the button sends its dialog.
    HWND button = GetDlgItem(box, press);
    if (!PostMessageA(box, WM_COMMAND, MAKEWPARAM(press, BN_CLICKED),
                      reinterpret_cast<LPARAM>(button))) {
        return Fail("PostMessageA to box \"%s\" failed (%lu)", caption, GetLastError());
    }
    // The box is gone once the console's thread has handled the answer.
    for (;;) {
        if (!IsWindow(box)) break;
        if (GetTickCount() - start >= timeout) {
            return Fail("box \"%s\" still open %lu ms after the answer", caption, timeout);
        }
        Sleep(kPollMs);
    }
    return 0;
}

int NoBox(int argc, char** argv) {
    if (argc != 3) return Usage();
    HWND box = FindBoxByCaption(argv[2]);
    if (box != nullptr) return Fail("a box with caption \"%s\" is open", argv[2]);
    return 0;
}

int Close(int argc) {
    if (argc != 2) return Usage();
    HWND window = MainWindow();
    if (window == nullptr) return Fail("no main window");
    if (!PostMessageA(window, WM_CLOSE, 0, 0)) {
        return Fail("PostMessageA(WM_CLOSE) failed (%lu)", GetLastError());
    }
    return 0;
}

// Posts WM_CLOSE the moment FILE grows: with FILE the simulator's log, that is
// while the exchange of the frame just logged is still going on.
int CloseOnGrowth(int argc, char** argv) {
    unsigned long timeout = 0;
    if (argc != 4 || !ParseNumber(argv[3], timeout)) return Usage();
    HWND window = MainWindow();
    if (window == nullptr) return Fail("no main window");
    HANDLE file = CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Fail("cannot open %s (%lu)", argv[2], GetLastError());
    int result = 0;
    LARGE_INTEGER first;
    if (!GetFileSizeEx(file, &first)) {
        result = Fail("GetFileSizeEx(%s) failed (%lu)", argv[2], GetLastError());
    } else {
        DWORD start = GetTickCount();
        for (;;) {
            LARGE_INTEGER size;
            if (!GetFileSizeEx(file, &size)) {
                result = Fail("GetFileSizeEx(%s) failed (%lu)", argv[2], GetLastError());
                break;
            }
            if (size.QuadPart > first.QuadPart) {
                if (!PostMessageA(window, WM_CLOSE, 0, 0)) {
                    result = Fail("PostMessageA(WM_CLOSE) failed (%lu)", GetLastError());
                }
                break;
            }
            if (GetTickCount() - start >= timeout) {
                result = Fail("%s did not grow within %lu ms", argv[2], timeout);
                break;
            }
            Sleep(1);
        }
    }
    if (!CloseHandle(file)) result = Fail("CloseHandle(%s) failed (%lu)", argv[2], GetLastError());
    return result;
}

int WaitGone(int argc, char** argv) {
    unsigned long timeout = 0;
    if (argc != 3 || !ParseNumber(argv[2], timeout)) return Usage();
    DWORD start = GetTickCount();
    while (MainWindow() != nullptr) {
        if (GetTickCount() - start >= timeout) {
            return Fail("main window still there after %lu ms", timeout);
        }
        Sleep(kPollMs);
    }
    std::printf("gone after %lu ms\n", static_cast<unsigned long>(GetTickCount() - start));
    return 0;
}

// A stand-alone check of the COM port mapping: one framed text written to PORT.
int ComWrite(int argc, char** argv) {
    if (argc != 4) return Usage();
    HANDLE port = CreateFileA(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return Fail("CreateFileA(%s) failed (%lu)", argv[2], GetLastError());
    }
    int result = 0;
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) {
        result = Fail("GetCommState(%s) failed (%lu)", argv[2], GetLastError());
    } else {
        dcb.BaudRate = CBR_9600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        if (!SetCommState(port, &dcb)) {
            result = Fail("SetCommState(%s) failed (%lu)", argv[2], GetLastError());
        }
    }
    if (result == 0) {
        unsigned char frame[1100];
        size_t length = std::strlen(argv[3]);
        if (length + 3 > sizeof frame) {
            result = Fail("text too long");
        } else {
            // The checksum makes the whole frame add up to 0 modulo 128.
            unsigned sum = 0x02 + 0x03;
            frame[0] = 0x02;
            for (size_t i = 0; i < length; ++i) {
                frame[1 + i] = static_cast<unsigned char>(argv[3][i]);
                sum += frame[1 + i];
            }
            frame[1 + length] = 0x03;
            frame[2 + length] = static_cast<unsigned char>((0x80 - (sum & 0x7F)) & 0x7F);
            DWORD written = 0;
            DWORD total = static_cast<DWORD>(length + 3);
            if (!WriteFile(port, frame, total, &written, nullptr) || written != total) {
                result = Fail("WriteFile(%s) failed (%lu)", argv[2], GetLastError());
            }
        }
    }
    if (!CloseHandle(port)) result = Fail("CloseHandle(%s) failed (%lu)", argv[2], GetLastError());
    return result;
}

}  // namespace

int Version(int argc, char** argv) {
    if (argc != 3) return Usage();
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(argv[2], &ignored);
    if (size == 0) return Fail("no version resource in %s (error %lu)", argv[2], GetLastError());
    std::vector<char> data(size);
    if (!GetFileVersionInfoA(argv[2], 0, size, data.data())) return Fail("cannot read the version of %s", argv[2]);
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(data.data(), "\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
        return Fail("no fixed version in %s", argv[2]);
    }
    const VS_FIXEDFILEINFO* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    std::printf("FileVersion#=%u.%u.%u.%u\n", static_cast<unsigned>(HIWORD(fixed->dwFileVersionMS)), static_cast<unsigned>(LOWORD(fixed->dwFileVersionMS)),
                static_cast<unsigned>(HIWORD(fixed->dwFileVersionLS)), static_cast<unsigned>(LOWORD(fixed->dwFileVersionLS)));
    std::printf("ProductVersion#=%u.%u.%u.%u\n", static_cast<unsigned>(HIWORD(fixed->dwProductVersionMS)),
                static_cast<unsigned>(LOWORD(fixed->dwProductVersionMS)), static_cast<unsigned>(HIWORD(fixed->dwProductVersionLS)),
                static_cast<unsigned>(LOWORD(fixed->dwProductVersionLS)));
    const char* const names[] = {"ProductName", "ProductVersion", "FileVersion", "FileDescription", "OriginalFilename"};
    for (const char* name : names) {
        char path[80];
        int n = std::snprintf(path, sizeof path, "\\StringFileInfo\\040904B0\\%s", name);
        if (n < 0 || static_cast<size_t>(n) >= sizeof path) return Fail("version key too long: %s", name);
        if (VerQueryValueA(data.data(), path, &value, &length) && length > 0) {
            std::printf("%s=%s\n", name, static_cast<const char*>(value));
        }
    }
    return 0;
}

int Rest(int argc, char** argv) {
    unsigned long ms = 0;
    if (argc != 3 || !ParseNumber(argv[2], ms)) return Usage();
    Sleep(static_cast<DWORD>(ms));
    return 0;
}

int LineRest(int argc, char** argv) {
    unsigned long ms = 0;
    if (argc != 4 || !ParseNumber(argv[3], ms)) return Usage();
    HANDLE port = CreateFileA(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) return Fail("CreateFileA(%s) failed (%lu)", argv[2], GetLastError());
    (void)timeBeginPeriod(1);
    ULONGLONG end = GetTickCount64() + ms;
    unsigned long rests = 0;
    while (GetTickCount64() < end) {
        DWORD errors = 0;
        COMSTAT status;
        (void)ClearCommError(port, &errors, &status);
        Sleep(1);
        ++rests;
    }
    CloseHandle(port);
    std::printf("%lu rests\n", rests);
    return 0;
}

int main(int argc, char** argv) {
    // Unbuffered, so the script sees the lines even when the process is cut short.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 2) return Usage();
    const char* verb = argv[1];
    if (std::strcmp(verb, "wait-window") == 0) return WaitWindow(argc, argv);
    if (std::strcmp(verb, "rect") == 0) return Rect(argc);
    if (std::strcmp(verb, "command") == 0) return Post(argc, argv, WM_COMMAND);
    if (std::strcmp(verb, "key") == 0) return Post(argc, argv, WM_KEYDOWN);
    if (std::strcmp(verb, "post") == 0) return Post(argc, argv, 0);
    if (std::strcmp(verb, "answer-box") == 0) return AnswerBox(argc, argv);
    if (std::strcmp(verb, "no-box") == 0) return NoBox(argc, argv);
    if (std::strcmp(verb, "close") == 0) return Close(argc);
    if (std::strcmp(verb, "wait-gone") == 0) return WaitGone(argc, argv);
    if (std::strcmp(verb, "close-on-growth") == 0) return CloseOnGrowth(argc, argv);
    if (std::strcmp(verb, "com-write") == 0) return ComWrite(argc, argv);
    if (std::strcmp(verb, "version") == 0) return Version(argc, argv);
    if (std::strcmp(verb, "rest") == 0) return Rest(argc, argv);
    if (std::strcmp(verb, "line-rest") == 0) return LineRest(argc, argv);
    return Usage();
}
