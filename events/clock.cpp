#include "events/clock.h"

#include <chrono>
#include <cstdio>

#include "os/threading.h"

std::tm CalendarTime(std::time_t seconds, bool local) {
    std::tm parts;
#ifdef _WIN32
    if (local) localtime_s(&parts, &seconds);
    else gmtime_s(&parts, &seconds);
#else
    if (local) localtime_r(&seconds, &parts);
    else gmtime_r(&seconds, &parts);
#endif
    return parts;
}

std::string ClockAt(long long epochUs, bool local, const char* format, int digits, const char* suffix) {
    long long seconds = epochUs / 1000000;
    long long fraction = epochUs % 1000000;
    std::tm parts = CalendarTime(static_cast<std::time_t>(seconds), local);
    char text[64];
    size_t n = std::strftime(text, sizeof text, format, &parts);
    for (int d = digits; d < 6; ++d) fraction /= 10;
    int written = std::snprintf(text + n, sizeof text - n, ".%0*lld%s", digits, fraction, suffix);
    if (written < 0 || static_cast<size_t>(written) >= sizeof text - n) return std::string(text, n);
    return text;
}

namespace {

// Now as `format` (strftime) on the UTC or local clock, then the milliseconds
// with `suffix`.
std::string ClockNow(bool local, const char* format, const char* suffix) {
    using namespace std::chrono;
    long long us = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    return ClockAt(us, local, format, 3, suffix);
}

}  // namespace

std::string IsoTimeNow() { return ClockNow(false, "%Y-%m-%dT%H:%M:%S", "Z"); }

std::string LocalClockNow() { return ClockNow(true, "%H:%M:%S", ""); }

LineClock::LineClock() {
    using namespace std::chrono;
    long long wall = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    offsetUs_ = wall - OsMonotonicUs();
}

std::string LineClock::Iso(long long monotonicUs) const {
    return ClockAt(monotonicUs + offsetUs_, false, "%Y-%m-%dT%H:%M:%S", 6, "Z");
}

std::string LineClock::Local(long long monotonicUs) const {
    return ClockAt(monotonicUs + offsetUs_, true, "%H:%M:%S", 3, "");
}
