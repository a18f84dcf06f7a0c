// What the report's model, charts and page share; not for use outside cli/check/.
#pragma once

#include <string>
#include <vector>

#include "report/report.h"
#include "commands/format.h"

namespace report {

// Milliseconds with as many decimals as their size deserves.
std::string Ms(double ms);
std::string Plural(int n, const char* one, const char* many);
// "controller-wide" for pump 0, else "pump 7".
std::string PumpLabel(int pump);
// "Sale/Read" from "Pump/Sale/Read": the menu bar's name says little in a table.
std::string ShortName(const std::string& path);
// "09:30:01" from "2026-12-08T09:30:01.123Z".
std::string ClockTime(const std::string& iso);
// "2026-12-08 09:30:01 UTC" from "2026-12-08T09:30:01.123Z".
std::string Readable(const std::string& iso);
// "1-4, 7" from 1, 2, 3, 4, 7.
std::string PumpRanges(const std::vector<int>& pumps);
// At most 48 bytes of hex; a long reply is not the point of the row.
std::string ShortHex(const std::vector<unsigned char>& bytes, size_t total);
// "no ACK", "checksum ERROR"... for a listed transaction.
std::string VerdictWordsOf(const ReportRecord& record);

// "12 no ACK, 3 checksum errors" for the failures that happened, by verdict.
std::string FailureKinds(const Tally& tally);

// Where failures happened, a pump at a time (the controller-wide requests count
// as one): how many of its transactions failed, of what kind, in which commands.
// Worst first, then in the order of the run.
struct Spot {
    int pump;
    std::string where;                  // "pump 2, Pump/Sale/Read", "pump 2, every command", "pump 2, 3 commands"
    std::vector<std::string> commands;  // the failing ones
    bool everyCommand;
    int failed;
    int sent;
    std::string kinds;
};
std::vector<Spot> FailureSpots(const std::vector<ReportRow>& rows);

enum Health { HEALTHY, WARNING, FAILED, NOTHING };

// The run's totals as the verdict needs them.
struct Summary {
    Tally tally;
    int withStrays = 0;
    int strayBytes = 0;
    std::vector<double> answerMs;  // sorted
};
Summary SummaryOf(const ReportModel& model);
Health HealthOf(const Summary& s);
// The warnings of a run without failures, as sentences.
std::vector<std::string> Warnings(const Summary& s);
std::string StoppedNote(const ReportModel& model, const ReportInfo& info);
// The likely cause when the failures have one (empty otherwise): no ACK on every
// command is what a line at the wrong baud rate gives.
std::string LikelyCause(const Summary& s);

// The charts, as inline SVG.
const char* const GREEN = "#2e9e5b";
const char* const RED = "#d64541";
const char* const INK = "#1d2733";
const char* const MUTED = "#6b7785";
std::string Histogram(const std::vector<double>& sortedMs);
std::string Strip(const ReportModel& model);

}  // namespace report
