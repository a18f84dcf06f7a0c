// The report page: the verdict, the numbers, the charts, the tables and the run,
// in one HTML file with its stylesheet inside.
#include <algorithm>
#include <map>

#include "report/parts.h"
#include "report/report_css.h"
#include "events/tally.h"
#include "events/trace_text.h"
#include "events/verdicts.h"
#include "link/transaction.h"

using namespace report;

namespace {

std::string Cell(const std::string& text, const char* cls) {
    return std::string("<td class=\"") + cls + "\">" + text + "</td>";
}

std::string Count(int n, bool badWhenSet) {
    if (n == 0) return Cell("0", "zero");
    return Cell(Format("%d", n), badWhenSet ? "bad" : "");
}

std::string RowTimes(const ReportRow& row) {
    if (row.answerMs.empty()) return "<td class=\"zero\">&ndash;</td><td class=\"zero\">&ndash;</td><td class=\"zero\">&ndash;</td><td class=\"zero\">&ndash;</td>";
    std::string out;
    for (double v : {row.answerMs.front(), Percentile(row.answerMs, 0.5), Percentile(row.answerMs, 0.95), row.answerMs.back()}) {
        out += Cell(Ms(v), v >= SLOW_ANSWER_MS ? "warn" : "");
    }
    return out;
}

// The failure columns: the usual verdicts always, any other only when it happened.
std::vector<int> FailureColumns(const Tally& totals) {
    std::vector<int> columns = {VERDICT_NO_ACK, VERDICT_CHECKSUM_ERROR, VERDICT_INCOMPLETE};
    for (const auto& f : totals.failures) {
        if (std::find(columns.begin(), columns.end(), f.first) == columns.end()) columns.push_back(f.first);
    }
    return columns;
}

std::string ColumnName(int verdict) {
    switch (verdict) {
        case VERDICT_NO_ACK: return "No ACK";
        case VERDICT_CHECKSUM_ERROR: return "Checksum errors";
        case VERDICT_INCOMPLETE: return "Incomplete";
        default: return HtmlEscape(VerdictName(verdict));
    }
}

std::string TableHead(const std::vector<int>& failureColumns, bool observed) {
    std::string out = "<tr><th class=\"l\">Command</th><th class=\"l\">Text</th><th>";
    out += observed ? "Seen" : "Sent";
    out += "</th><th>ACKed</th><th>Replies OK</th>";
    for (int verdict : failureColumns) out += "<th>" + ColumnName(verdict) + "</th>";
    return out + "<th>Stray bytes</th><th>Min ms</th><th>Median ms</th><th>95th ms</th><th>Max ms</th></tr>\n";
}

std::string TableRow(const ReportRow& row, const std::vector<int>& failureColumns) {
    const Tally& t = row.tally;
    std::string out = t.Failed() > 0 ? "<tr class=\"fail\">" : "<tr>";
    out += "<td class=\"l\">" + HtmlEscape(row.command) + "</td><td class=\"l code\">" + HtmlEscape(row.request) + "</td>";
    out += Cell(Format("%d", t.Sent()), t.notSent > 0 ? "bad" : "");
    out += Cell(Format("%d", t.acked), t.acked < t.transactions ? "bad" : "");
    out += Cell(Format("%d", t.repliesOk), t.repliesOk < t.transactions ? "bad" : "");
    for (int verdict : failureColumns) out += Count(t.Count(verdict), true);
    out += row.strayBytes > 0 ? Cell(Format("%d", row.strayBytes), "warn") : Cell("0", "zero");
    out += RowTimes(row);
    return out + "</tr>\n";
}

// A coloured grid: a row per pump, a column per command; each cell says the
// median answer time, or how many of the command's transactions failed.
std::string GridCell(const ReportRow& row) {
    const Tally& t = row.tally;
    std::string title = PumpLabel(row.pump) + " \xC2\xB7 " + row.command + ": " + Format("%d sent, %d failed", t.Sent(), t.Failed());
    std::string kinds = FailureKinds(t);
    if (!kinds.empty()) title += " (" + kinds + ")";
    if (!row.answerMs.empty()) title += ", median answer " + Ms(Percentile(row.answerMs, 0.5)) + " ms";
    if (row.strayBytes > 0) title += Format(", %d stray bytes", row.strayBytes);
    const char* cls = "ok";
    std::string text;
    if (t.Failed() > 0) {
        cls = "bad";
        text = Format("\xE2\x9C\x97 %d/%d", t.Failed(), t.transactions);
    } else {
        bool slow = !row.answerMs.empty() && row.answerMs.back() >= SLOW_ANSWER_MS;
        if (row.strayBytes > 0 || slow) cls = "warn";
        text = row.answerMs.empty() ? "\xE2\x9C\x93" : Ms(Percentile(row.answerMs, 0.5));
    }
    return "<td><span class=\"cell " + std::string(cls) + "\" title=\"" + HtmlEscape(title) + "\">" + text + "</span></td>";
}

std::string ColumnHead(const std::string& command) {
    std::string name = HtmlEscape(ShortName(command));
    size_t slash = name.find('/');
    if (slash != std::string::npos) name = name.substr(0, slash) + "<br>" + name.substr(slash + 1);
    return "<th title=\"" + HtmlEscape(command) + "\">" + name + "</th>";
}

std::string Grid(const std::vector<ReportRow>& rows) {
    std::string out;
    // Controller-wide requests: one row of their own.
    std::vector<const ReportRow*> wide;
    for (const ReportRow& row : rows) {
        if (row.pump == 0) wide.push_back(&row);
    }
    std::vector<std::string> columns;
    std::vector<int> pumps;
    for (const ReportRow& row : rows) {
        if (row.pump == 0) continue;
        if (std::find(columns.begin(), columns.end(), row.command) == columns.end()) columns.push_back(row.command);
        if (std::find(pumps.begin(), pumps.end(), row.pump) == pumps.end()) pumps.push_back(row.pump);
    }
    if (!wide.empty()) {
        out += "<table class=\"grid\"><tr><th></th>";
        for (const ReportRow* row : wide) out += ColumnHead(row->command);
        out += "</tr>\n<tr><th class=\"l\">Controller</th>";
        for (const ReportRow* row : wide) out += GridCell(*row);
        out += "</tr></table>\n";
    }
    if (!pumps.empty()) {
        out += "<table class=\"grid\" style=\"margin-top:10px\"><tr><th></th>";
        for (const std::string& c : columns) out += ColumnHead(c);
        out += "</tr>\n";
        for (int pump : pumps) {
            out += Format("<tr><th class=\"l\">Pump %d</th>", pump);
            for (const std::string& c : columns) {
                auto it = std::find_if(rows.begin(), rows.end(),
                                       [&](const ReportRow& r) { return r.pump == pump && r.command == c; });
                out += it == rows.end() ? "<td></td>" : GridCell(*it);
            }
            out += "</tr>\n";
        }
        out += "</table>\n";
    }
    out += "<div class=\"legend\"><i style=\"background:var(--ok)\"></i>every transaction OK (median answer in ms)"
           "<i style=\"background:var(--warn)\"></i>OK, but stray bytes or slow answers"
           "<i style=\"background:var(--bad)\"></i>failed / sent</div>\n";
    return out;
}

std::string Tile(const std::string& number, const std::string& label, bool bad = false) {
    return std::string("<div class=\"tile") + (bad ? " bad" : "") + "\"><div class=\"n\">" + number +
           "</div><div class=\"l\">" + label + "</div></div>\n";
}

std::string Duration(double seconds) {
    if (seconds < 60) return Format("%.1f s", seconds);
    int s = static_cast<int>(seconds + 0.5);
    if (s < 3600) return Format("%d min %02d s", s / 60, s % 60);
    return Format("%d h %02d min", s / 3600, (s / 60) % 60);
}

}  // namespace

// The length of the UTF-8 sequence at `at`, or 0 when the bytes there are not one.
size_t Utf8Length(const std::string& text, size_t at) {
    unsigned char c = static_cast<unsigned char>(text[at]);
    size_t n = 0;
    unsigned min = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (at + n > text.size()) return 0;
    unsigned value = c & (0x3F >> (n - 1));
    for (size_t k = 1; k < n; ++k) {
        unsigned char d = static_cast<unsigned char>(text[at + k]);
        if ((d & 0xC0) != 0x80) return 0;
        value = (value << 6) | (d & 0x3F);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    return n;
}

std::string HtmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default:
                if (u >= 0x80) {
                    // Whole UTF-8 characters pass; any other byte (a port name in
                    // Latin-1, say) shows as a visible escape, so the page stays UTF-8.
                    size_t n = Utf8Length(text, i);
                    if (n == 0) {
                        out += Format("\\x%02X", u);
                    } else {
                        out.append(text, i, n);
                        i += n - 1;
                    }
                } else if (u < 0x20 || u == 0x7F) {
                    // Control bytes (a line feed in a print text) show as a visible escape.
                    out += Format("\\x%02X", u);
                } else {
                    out.push_back(c);
                }
        }
    }
    return out;
}

// An acceptance run's steps: pass or fail and why, before the transactions.
static std::string StepsTable(const std::vector<ReportStep>& steps) {
    int passed = 0;
    for (const ReportStep& step : steps) passed += step.run && step.pass ? 1 : 0;
    std::string h = Format("<h2>Steps: %d of %d passed</h2>\n<table class=\"steps\"><tr><th></th><th>Suite</th>"
                           "<th>Step</th><th>Why</th></tr>\n",
                           passed, static_cast<int>(steps.size()));
    for (const ReportStep& step : steps) {
        const char* mark = !step.run ? "not run" : step.pass ? "PASS" : "FAIL";
        h += std::string("<tr><td class=\"") + (!step.run ? "skipped" : step.pass ? "pass" : "bad") + "\">" + mark +
             "</td><td>" + HtmlEscape(step.suite) + "</td><td>" + HtmlEscape(step.name) + "</td><td>" +
             HtmlEscape(step.why) + "</td></tr>\n";
    }
    return h + "</table>\n";
}

std::string ReportHtml(const ReportModel& model, const ReportInfo& info) {
    Summary sum = SummaryOf(model);
    const Tally& t = sum.tally;
    std::vector<ReportRow> rows = model.Rows();
    std::vector<int> failureColumns = FailureColumns(t);
    Health health = HealthOf(sum);
    static const char* const classes[] = {"healthy", "warning", "failed", "nothing"};
    const char* const words[] = {"Healthy", "Healthy, with warnings", "Failed", info.observed ? "Nothing seen" : "Nothing sent"};
    static const char* const marks[] = {"\xE2\x9C\x93", "!", "\xE2\x9C\x97", "\xE2\x80\x93"};
    const std::string firstPort = info.ports.empty() ? std::string() : info.ports.front();
    std::string portNames;
    for (const std::string& port : info.ports) portNames += (portNames.empty() ? "" : ", ") + port;

    std::string h;
    h.reserve(65536);
    h += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    h += "<title>" + HtmlEscape(info.title) + ": " + words[health] + " \xE2\x80\x93 " + HtmlEscape(firstPort) +
         " \xE2\x80\x93 " + HtmlEscape(info.started) + "</title>\n<style>\n" + REPORT_CSS +
         "</style>\n</head>\n<body>\n<main>\n";
    h += "<h1><b>" + HtmlEscape(info.title) + "</b> &middot; " + HtmlEscape(portNames) +
         Format(" at %d baud", info.baudRate);
    if (!info.pumps.empty()) h += " &middot; pumps " + HtmlEscape(PumpRanges(info.pumps));
    h += " &middot; " + HtmlEscape(Readable(info.started)) + "</h1>\n";
    if (!info.caption.empty()) h += "<p class=\"caption\">" + HtmlEscape(info.caption) + "</p>\n";
    if (!info.steps.empty()) h += StepsTable(info.steps);

    // The verdict.
    h += std::string("<div class=\"banner ") + classes[health] + "\"><div class=\"mark\">" + marks[health] +
         "</div><div><div class=\"word\">" + words[health] + "</div>";
    if (health == HEALTHY) {
        h += Format("<div class=\"line\">All %d transactions got their ACK and a reply that passed its checksum.</div>",
                    t.transactions);
    } else if (health == WARNING) {
        h += Format("<div class=\"line\">All %d transactions succeeded, but:</div><ul>", t.transactions);
        for (const std::string& w : Warnings(sum)) h += "<li>" + HtmlEscape(w) + "</li>";
        h += "</ul>";
    } else if (health == FAILED) {
        h += Format("<div class=\"line\">%d of %d transactions failed: ", t.Failed(), t.transactions) +
             HtmlEscape(FailureKinds(t)) + ".</div><ul>";
        std::vector<Spot> spots = FailureSpots(rows);
        const size_t most = 8;
        for (size_t i = 0; i < spots.size() && i < most; ++i) {
            const Spot& spot = spots[i];
            std::string name = spot.pump == 0 ? "Controller-wide requests" : Format("Pump %d", spot.pump);
            h += "<li><b>" + name + "</b>: " + Format("%d of %d failed", spot.failed, spot.sent) + " (" +
                 HtmlEscape(spot.kinds) + ")";
            if (spot.everyCommand) {
                h += ", every command";
            } else {
                h += " in ";
                const size_t names = 6;
                for (size_t k = 0; k < spot.commands.size() && k < names; ++k) {
                    h += (k == 0 ? "" : ", ") + HtmlEscape(spot.pump == 0 ? spot.commands[k] : ShortName(spot.commands[k]));
                }
                if (spot.commands.size() > names) h += Format(" and %d more", static_cast<int>(spot.commands.size() - names));
            }
            h += "</li>";
        }
        if (spots.size() > most) {
            h += Format("<li>and %d more pumps: see the tables below</li>", static_cast<int>(spots.size() - most));
        }
        h += "</ul>";
        std::string cause = LikelyCause(sum);
        if (!cause.empty()) h += "<div class=\"line\">Likely cause: " + HtmlEscape(cause) + ".</div>";
    } else {
        h += "<div class=\"line\">The run ended before the first transaction.</div>";
    }
    h += "</div></div>\n";
    if (info.stopped) {
        h += "<p class=\"note\">" + HtmlEscape(StoppedNote(model, info)) +
             "The report covers what was done up to then.</p>\n";
    }

    // The numbers at a glance.
    const std::vector<double>& ms = sum.answerMs;
    h += "<div class=\"tiles\">\n";
    h += Tile(Format("%d", t.transactions) + (info.plannedTransactions > 0 && t.transactions != info.plannedTransactions
                                          ? Format(" <small>of %d</small>", info.plannedTransactions)
                                          : ""),
              "transactions");
    h += Tile(Format("%d", t.Failed()), "failed", t.Failed() > 0);
    h += Tile(ms.empty() ? "&ndash;" : Ms(Percentile(ms, 0.5)) + " <small>ms</small>", "median answer");
    h += Tile(ms.empty() ? "&ndash;" : Ms(Percentile(ms, 0.95)) + " <small>ms</small>", "95th percentile");
    h += Tile(ms.empty() ? "&ndash;" : Ms(ms.back()) + " <small>ms</small>", "slowest answer");
    h += Tile(Duration(info.seconds), "duration");
    h += "</div>\n";

    h += "<section class=\"card\"><h2>Pumps and commands</h2>\n" + Grid(rows) + "</section>\n";

    h += "<section class=\"card\"><h2>Every transaction, in time order</h2>\n" + Strip(model);
    h += "<div class=\"legend\"><i style=\"background:var(--ok)\"></i>OK<i style=\"background:var(--bad)\"></i>failed "
         "(any verdict but OK)</div>\n</section>\n";

    h += "<section class=\"card\"><h2>Answer times</h2>\n" + Histogram(ms);
    h += Format("<p class=\"muted\">The answer time of a transaction runs from the moment the write of its frame returns "
                "to the moment its ACK byte is read, measured on this PC's monotonic clock (not the time of day). "
                "It can include the time the frame still spends on the wire after the write returns (about %.1f ms a "
                "byte at %d baud). A transaction without an ACK has no answer time",
                10000.0 / info.baudRate, info.baudRate);
    if (ms.size() < static_cast<size_t>(t.transactions)) h += Format(" (%d here)", t.transactions - static_cast<int>(ms.size()));
    h += Format("; a transaction ends when the line stays silent for a receive window of %d ms.</p>\n</section>\n",
                RECEIVE_WINDOW_TICKS * TICK_MS);

    // A table per pump.
    h += "<section class=\"card\"><h2>Each pump, each command</h2>\n";
    for (size_t i = 0; i < rows.size();) {
        int pump = rows[i].pump;
        h += pump == 0 ? std::string("<h3>Controller-wide requests") +
                             (info.observed ? "" : " <span class=\"muted\">(once a round)</span>") + "</h3>\n"
                       : Format("<h3>Pump %d</h3>\n", pump);
        h += "<table>" + TableHead(failureColumns, info.observed);
        for (; i < rows.size() && rows[i].pump == pump; ++i) h += TableRow(rows[i], failureColumns);
        h += "</table>\n";
    }
    if (rows.empty()) h += std::string("<p class=\"muted\">") + (info.observed ? "Nothing was seen." : "Nothing was sent.") + "</p>\n";
    h += "</section>\n";

    // The run.
    h += "<section class=\"card\"><h2>The run</h2>\n<dl class=\"facts\">\n";
    auto fact = [&h](const std::string& name, const std::string& value) {
        h += "<dt>" + HtmlEscape(name) + "</dt><dd>" + HtmlEscape(value) + "</dd>\n";
    };
    for (const std::string& port : info.ports) fact("Port", port);
    fact("Baud rate", Format("%d, 8 data bits, no parity, 1 stop bit", info.baudRate));
    if (!info.pumps.empty()) fact("Pumps", PumpRanges(info.pumps));
    if (!info.observed) {
        int roundsDone = model.LastRound();
        fact("Rounds", Format("%d of %d", info.stopped ? roundsDone : info.rounds, info.rounds) +
                           (info.stopped ? " (the last one cut short)" : ""));
        fact("Pause between transactions", Format("%d ms", info.intervalMs));
        fact("Transactions", Format("%d of %d planned", t.transactions, info.plannedTransactions));
        fact("Preset amount", Format("%d.%02d", info.presetAmount / 100, info.presetAmount % 100));
        fact("Price base", Format("%d.%03d", info.priceBase / 1000, info.priceBase % 1000));
    } else {
        fact("Transactions", Format("%d", t.transactions));
    }
    fact("Started", Readable(info.started));
    fact("Ended", Readable(info.ended));
    fact("Duration", Duration(info.seconds));
    fact("Program", "zantrox-cli " + info.version);
    h += "</dl>\n</section>\n";

    // Exactly what went out, or what was seen.
    if (info.observed) {
        h += "<section class=\"card\"><h2>What was seen</h2>\n"
             "<p class=\"muted\">The requests seen on the line, as they went out framed (STX, text, ETX, "
             "checksum). Nothing was sent by this program.</p>\n";
    } else {
        h += "<section class=\"card\"><h2>What was sent</h2>\n"
             "<p class=\"muted\">Only requests that read; nothing that authorizes, stops, resumes, clears, resets, "
             "flushes or changes a price. Each text went out framed (STX, text, ETX, checksum).</p>\n";
    }
    h += "<table><tr><th class=\"l\">Command</th><th class=\"l\">For</th><th class=\"l\">Text</th><th>Times</th></tr>\n";
    for (const ReportText& s : model.Texts()) {
        h += "<tr><td class=\"l\">" + HtmlEscape(s.command) + "</td><td class=\"l\">" +
             (s.pump == 0 ? std::string("controller") : Format("pump %d", s.pump)) + "</td><td class=\"l code\">" +
             HtmlEscape(s.text) + Format("</td><td>%d</td></tr>\n", s.count);
    }
    h += "</table>\n";
    const std::vector<ReportModel::Listed>& listed = model.ListedTransactions();
    if (static_cast<int>(listed.size()) == t.transactions) {
        h += Format("<details><summary>Every transaction (%d)</summary>\n", t.transactions);
    } else {
        h += Format("<details><summary>%d of the %d transactions: the first %d and then failures</summary>\n",
                    static_cast<int>(listed.size()), t.transactions, static_cast<int>(ReportModel::LISTED_FIRST));
    }
    h += "<table><tr><th>#</th><th class=\"l\">Time (UTC)</th><th>Round</th><th>Pump</th><th class=\"l\">Command</th>"
         "<th class=\"l\">Text</th><th class=\"l\">Verdict</th><th>Answer ms</th><th>Total ms</th>"
         "<th class=\"l\">Received</th></tr>\n";
    for (const ReportModel::Listed& l : listed) {
        const ReportRecord& r = l.record;
        bool ok = r.verdict == VERDICT_OK;
        h += ok ? "<tr>" : "<tr class=\"fail\">";
        h += Format("<td>%d</td>", l.number) + "<td class=\"l\">" + HtmlEscape(r.time) + "</td>" +
             (r.round > 0 ? Format("<td>%d</td>", r.round) : std::string("<td>&ndash;</td>")) +
             (r.pump > 0 ? Format("<td>%d</td>", r.pump) : std::string("<td>&ndash;</td>")) + "<td class=\"l\">" +
             HtmlEscape(r.command) + "</td><td class=\"l code\">" + HtmlEscape(r.request) + "</td><td class=\"l" +
             (ok ? "" : " bad") + "\">" + HtmlEscape(VerdictWordsOf(r)) + "</td><td>" +
             (r.answerMs >= 0 ? Ms(r.answerMs) : "&ndash;") + "</td><td>" + Ms(r.ms) + "</td><td class=\"l code\">" +
             HtmlEscape(ShortHex(r.received, l.receivedBytes)) + "</td></tr>\n";
    }
    h += "</table>\n</details>\n</section>\n";

    h += "<footer>zantrox-cli " + HtmlEscape(info.version) + " &middot; " + HtmlEscape(Readable(info.ended)) + "</footer>\n";
    h += "</main>\n</body>\n</html>\n";
    return h;
}
