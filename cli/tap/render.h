// How watch and watch --tap show pieces and exchanges: text lines for people
// (local time with milliseconds, the trace form) and JSON Lines for machines (UTC
// with microseconds). Times come in as monotonic microseconds and are placed on
// the calendar by one offset taken when listening starts.
#pragma once

#include <cstdio>
#include <string>

#include "cli/tap/analyzer.h"

class TapClock {
public:
    TapClock();  // takes the offset between the monotonic clock and the calendar now
    // "2026-12-08T09:30:01.123456Z"
    std::string Iso(long long monotonicUs) const;
    // "10:30:01.123" on the local clock
    std::string Local(long long monotonicUs) const;

private:
    long long offsetUs_;
};

// `tap`: the piece has a direction (host > / < ctrl); without it, the one-line form.
std::string PieceText(const TapPiece& piece, const TapClock& clock, bool tap);
std::string PieceJson(const TapPiece& piece, const TapClock& clock, bool tap);
std::string ExchangeText(const TapExchange& exchange, const TapClock& clock);
std::string ExchangeJson(const TapExchange& exchange, const TapClock& clock);
// "Pump/Sale/Extended, pump 7", "unknown"
std::string ExchangeName(const TapExchange& exchange);
void PrintSummary(std::FILE* out, const TapSummary& summary);
