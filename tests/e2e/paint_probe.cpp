// For the start-up benchmark: watches the X display for a top-level window with a
// given title and reports, as wall-clock milliseconds since the epoch, when it is
// first viewable and when a region of it first shows text: white pixels and
// others (its first paint). Polls every millisecond.
// Usage: zantrox-e2e-paint-probe TITLE X Y WIDTH HEIGHT TIMEOUT_MS
// Prints "watching" once connected, then "mapped <ms>" and "painted <ms>"; exit
// status 1 on a time-out.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

long long NowMs() {
    timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return 0;
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void SleepMs(int ms) {
    timespec pause = {0, static_cast<long>(ms) * 1000000L};
    nanosleep(&pause, nullptr);
}

// A child of the root (or one level below, for a reparenting window manager)
// named `title`, else 0.
Window FindWindow(Display* display, Window parent, const char* title, int depth) {
    Window root = 0, up = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (XQueryTree(display, parent, &root, &up, &children, &count) == 0) return 0;
    Window found = 0;
    for (unsigned i = 0; i < count && found == 0; ++i) {
        char* name = nullptr;
        if (XFetchName(display, children[i], &name) != 0 && name != nullptr) {
            if (std::strcmp(name, title) == 0) found = children[i];
            XFree(name);
        }
        if (found == 0 && depth > 0) found = FindWindow(display, children[i], title, depth - 1);
    }
    if (children != nullptr) XFree(children);
    return found;
}

int IgnoreErrors(Display*, XErrorEvent*) { return 0; }  // the window may vanish meanwhile

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s TITLE X Y WIDTH HEIGHT TIMEOUT_MS\n", argv[0]);
        return 2;
    }
    const char* title = argv[1];
    const int x = std::atoi(argv[2]), y = std::atoi(argv[3]);
    const int width = std::atoi(argv[4]), height = std::atoi(argv[5]);
    const long long deadline = NowMs() + std::atoll(argv[6]);
    if (width <= 0 || height <= 0) {
        std::fprintf(stderr, "%s: empty region\n", argv[0]);
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::perror("XOpenDisplay");
        std::fprintf(stderr, "%s: cannot open the display\n", argv[0]);
        return 1;
    }
    XSetErrorHandler(IgnoreErrors);
    std::printf("watching\n");
    std::fflush(stdout);

    Window window = 0;
    bool mapped = false;
    while (NowMs() < deadline) {
        if (window == 0) window = FindWindow(display, DefaultRootWindow(display), title, 1);
        if (window != 0 && !mapped) {
            XWindowAttributes attributes;
            if (XGetWindowAttributes(display, window, &attributes) != 0 && attributes.map_state == IsViewable) {
                mapped = true;
                std::printf("mapped %lld\n", NowMs());
                std::fflush(stdout);
            }
        }
        if (mapped) {
            XImage* image = XGetImage(display, window, x, y, static_cast<unsigned>(width),
                                      static_cast<unsigned>(height), AllPlanes, ZPixmap);
            if (image != nullptr) {
                const unsigned long white = WhitePixel(display, DefaultScreen(display));
                // Painted text: white paper and some ink. An unpainted window is
                // one colour (its background, or whatever lay under it).
                bool paper = false, ink = false;
                for (int row = 0; row < height && !(paper && ink); ++row) {
                    for (int col = 0; col < width && !(paper && ink); ++col) {
                        if (XGetPixel(image, col, row) == white) paper = true;
                        else ink = true;
                    }
                }
                XDestroyImage(image);
                if (paper && ink) {
                    std::printf("painted %lld\n", NowMs());
                    XCloseDisplay(display);
                    return 0;
                }
            }
        }
        SleepMs(1);
    }
    XCloseDisplay(display);
    std::fprintf(stderr, "%s: timed out (%s)\n", argv[0], mapped ? "never painted" : "never mapped");
    return 1;
}
