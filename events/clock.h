// The clocks the command line shows: ISO 8601 in UTC for machines, the local clock
// for people, and the listener's monotonic times placed on the calendar.
#pragma once

#include <ctime>
#include <string>

// Now, ISO 8601 UTC with milliseconds.
std::string IsoTimeNow();
// Now on the local clock, "09:30:01.123", for text output.
std::string LocalClockNow();
// `epochUs` (microseconds since 1970) as `format` (strftime) on the local clock or
// in UTC, then a point, the first `digits` (1..6) digits of the fraction and `suffix`.
std::string ClockAt(long long epochUs, bool local, const char* format, int digits, const char* suffix);
// The calendar parts of `seconds` on the local clock or in UTC.
std::tm CalendarTime(std::time_t seconds, bool local);

// Monotonic microseconds placed on the calendar by one offset taken at the start,
// so times within a run keep their order whatever the wall clock does.
class LineClock {
public:
    LineClock();  // takes the offset between the monotonic clock and the calendar now
    // Times that are already on the calendar (a capture read back).
    static LineClock Calendar() { return LineClock(0); }
    long long EpochUs(long long monotonicUs) const { return monotonicUs + offsetUs_; }
    // "2026-12-08T09:30:01.123456Z"
    std::string Iso(long long monotonicUs) const;
    // "10:30:01.123" on the local clock
    std::string Local(long long monotonicUs) const;

private:
    explicit LineClock(long long offsetUs) : offsetUs_(offsetUs) {}
    long long offsetUs_;
};
