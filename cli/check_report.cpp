#include "cli/check_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <utility>

#include "link/transaction.h"

namespace {

// printf into a std::string.
template <typename... Args>
std::string Format(const char* format, Args... args) {
    char buffer[512];
    int n = std::snprintf(buffer, sizeof buffer, format, args...);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof buffer) return std::string(buffer, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(&out[0], out.size(), format, args...);
    out.resize(static_cast<size_t>(n));
    return out;
}

// Milliseconds with as many decimals as their size deserves.
std::string Ms(double ms) {
    if (ms < 10) return Format("%.2f", ms);
    if (ms < 100) return Format("%.1f", ms);
    return Format("%.0f", ms);
}

std::string Plural(int n, const char* one, const char* many) { return Format("%d %s", n, n == 1 ? one : many); }

// Strays: whatever was read besides the ACK and the reply.
int StrayBytes(const TransactionResult& r) {
    long stray = static_cast<long>(r.received.size()) - static_cast<long>(r.answer.size());
    return stray > 0 ? static_cast<int>(stray) : 0;
}

// "1-4, 7" from 1, 2, 3, 4, 7.
std::string PumpRanges(const std::vector<int>& pumps) {
    std::string out;
    for (size_t i = 0; i < pumps.size();) {
        size_t j = i;
        while (j + 1 < pumps.size() && pumps[j + 1] == pumps[j] + 1) ++j;
        if (!out.empty()) out += ", ";
        out += j > i + 1 ? Format("%d-%d", pumps[i], pumps[j])
                         : (j == i + 1 ? Format("%d, %d", pumps[i], pumps[j]) : Format("%d", pumps[i]));
        i = j + 1;
    }
    return out;
}

// "Sale/Read" from "Pump/Sale/Read": the menu bar's name says little in a table.
std::string ShortName(const std::string& path) {
    size_t slash = path.find('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "09:30:01" from "2026-12-08T09:30:01.123Z".
std::string ClockTime(const std::string& iso) {
    size_t t = iso.find('T');
    return t == std::string::npos ? iso : iso.substr(t + 1, 8);
}

// "2026-12-08 09:30:01 UTC" from "2026-12-08T09:30:01.123Z".
std::string Readable(const std::string& iso) {
    if (iso.size() < 19 || iso[10] != 'T' || iso.back() != 'Z') return iso;
    return iso.substr(0, 10) + " " + iso.substr(11, 8) + " UTC";
}

// At most 48 bytes of hex; a long reply is not the point of the row.
std::string ShortHex(const std::vector<unsigned char>& bytes) {
    const size_t most = 48;
    if (bytes.size() <= most) return HexBytes(bytes);
    return HexBytes(std::vector<unsigned char>(bytes.begin(), bytes.begin() + most)) +
           Format(" \xE2\x80\xA6 (%d bytes)", static_cast<int>(bytes.size()));
}

std::string PumpLabel(int pump) { return pump == 0 ? "controller-wide" : Format("pump %d", pump); }

struct Totals {
    int sent = 0;
    int failed = 0;
    int noAck = 0;
    int checksumErrors = 0;
    int incomplete = 0;
    int withStrays = 0;
    int strayBytes = 0;
    std::vector<double> answerMs;  // sorted
};

Totals SumUp(const std::vector<CheckRecord>& records) {
    Totals t;
    for (const CheckRecord& record : records) {
        const TransactionResult& r = record.result;
        ++t.sent;
        if (r.verdict != VERDICT_OK) ++t.failed;
        if (r.verdict == VERDICT_NO_ACK) ++t.noAck;
        if (r.verdict == VERDICT_CHECKSUM_ERROR) ++t.checksumErrors;
        if (r.verdict == VERDICT_INCOMPLETE) ++t.incomplete;
        int stray = StrayBytes(r);
        if (stray > 0) ++t.withStrays;
        t.strayBytes += stray;
        if (r.ack && r.answerMs >= 0) t.answerMs.push_back(r.answerMs);
    }
    std::sort(t.answerMs.begin(), t.answerMs.end());
    return t;
}

// "12 no ACK, 3 checksum errors" for the kinds that happened.
std::string FailureKinds(int noAck, int checksumErrors, int incomplete) {
    std::vector<std::string> parts;
    if (noAck > 0) parts.push_back(Format("%d no ACK", noAck));
    if (checksumErrors > 0) parts.push_back(Plural(checksumErrors, "checksum error", "checksum errors"));
    if (incomplete > 0) parts.push_back(Plural(incomplete, "incomplete reply", "incomplete replies"));
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) out += (i == 0 ? "" : ", ") + parts[i];
    return out;
}

// Where failures happened, a pump at a time (the controller-wide requests count
// as one): how many of its transactions failed, of what kind, in which commands.
// Worst first, then in the order of the run.
struct Spot {
    int pump;
    std::string where;            // "pump 2, Pump/Sale/Read", "pump 2, every command", "pump 2, 3 commands"
    std::vector<std::string> commands;  // the failing ones
    bool everyCommand;
    int failed;
    int sent;
    std::string kinds;
};

std::vector<Spot> FailureSpots(const std::vector<CheckRow>& rows) {
    std::vector<Spot> spots;
    std::vector<int> pumps;
    for (const CheckRow& row : rows) {
        if (std::find(pumps.begin(), pumps.end(), row.pump) == pumps.end()) pumps.push_back(row.pump);
    }
    for (int pump : pumps) {
        Spot spot{pump, "", {}, false, 0, 0, ""};
        int noAck = 0, checksum = 0, incomplete = 0, commands = 0;
        for (const CheckRow& row : rows) {
            if (row.pump != pump) continue;
            ++commands;
            spot.sent += row.sent;
            spot.failed += row.failed;
            noAck += row.noAck;
            checksum += row.checksumErrors;
            incomplete += row.incomplete;
            if (row.failed > 0) spot.commands.push_back(row.command);
        }
        if (spot.failed == 0) continue;
        spot.kinds = FailureKinds(noAck, checksum, incomplete);
        spot.everyCommand = commands > 1 && static_cast<int>(spot.commands.size()) == commands;
        if (spot.commands.size() == 1) {
            // One command: its own counts say more than the pump's.
            for (const CheckRow& row : rows) {
                if (row.pump == pump && row.command == spot.commands[0]) spot.sent = row.sent;
            }
            spot.where = PumpLabel(pump) + ", " + spot.commands[0];
        } else {
            spot.where = PumpLabel(pump) + ", " +
                         (spot.everyCommand ? std::string("every command") : Format("%d commands", static_cast<int>(spot.commands.size())));
        }
        spots.push_back(spot);
    }
    std::stable_sort(spots.begin(), spots.end(), [](const Spot& a, const Spot& b) { return a.failed > b.failed; });
    return spots;
}

enum Health { HEALTHY, WARNING, FAILED, NOTHING };

Health HealthOf(const Totals& t) {
    if (t.sent == 0) return NOTHING;
    if (t.failed > 0) return FAILED;
    if (t.withStrays > 0 || (!t.answerMs.empty() && t.answerMs.back() >= SLOW_ANSWER_MS)) return WARNING;
    return HEALTHY;
}

// The warnings of a run without failures, as sentences.
std::vector<std::string> Warnings(const Totals& t) {
    std::vector<std::string> out;
    if (t.withStrays > 0) {
        out.push_back(Format("stray bytes on the line in %d of %d transactions (%d bytes that were neither an ACK "
                             "nor a reply)",
                             t.withStrays, t.sent, t.strayBytes));
    }
    if (!t.answerMs.empty() && t.answerMs.back() >= SLOW_ANSWER_MS) {
        out.push_back("slow answers: up to " + Ms(t.answerMs.back()) + " ms, median " + Ms(Percentile(t.answerMs, 0.5)) +
                      Format(" ms, where a silent %d ms ends a transaction", RECEIVE_WINDOW_TICKS * TICK_MS));
    }
    return out;
}

std::string StoppedNote(const std::vector<CheckRecord>& records, const CheckRunInfo& info) {
    if (!info.stopped) return std::string();
    return Format("Stopped by Ctrl+C after %d of %d transactions. ", static_cast<int>(records.size()),
                  info.plannedTransactions);
}

// ---- SVG pieces ------------------------------------------------------------

const char* const GREEN = "#2e9e5b";
const char* const RED = "#d64541";
const char* const INK = "#1d2733";
const char* const MUTED = "#6b7785";

// A bin width of 1, 2 or 5 times a power of ten that cuts `span` into at most `most` bins.
double NiceWidth(double span, int most) {
    if (span <= 0) span = 0.01;
    double raw = span / most;
    double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double step : {1.0, 2.0, 5.0, 10.0}) {
        if (step * power >= raw) return step * power;
    }
    return 10 * power;
}

std::string Histogram(const Totals& t) {
    const std::vector<double>& ms = t.answerMs;
    if (ms.empty()) return "<p class=\"muted\">No transaction got an ACK, so there are no answer times to show.</p>";
    const double W = 1040, H = 240, left = 48, right = 16, top = 34, bottom = 40;
    const double plotW = W - left - right, plotH = H - top - bottom;
    // Times that spread over decades (a few slow answers among fast ones) get a
    // logarithmic axis, eight bins a decade; others a linear one.
    const double floorMs = 0.01;
    const bool logarithmic = ms.back() > 20 * std::max(ms.front(), floorMs);
    const int perDecade = 8;
    double width = 0;
    double lo = 0;
    int bins = 0;
    if (logarithmic) {
        lo = std::floor(std::log10(std::max(ms.front(), floorMs)) * perDecade + 1e-9);
        bins = static_cast<int>(std::floor(std::log10(ms.back()) * perDecade + 1e-9) - lo) + 1;
    } else {
        width = NiceWidth(ms.back() - ms.front(), 30);
        lo = std::floor(ms.front() / width + 1e-9) * width;
        bins = static_cast<int>(std::floor((ms.back() - lo) / width + 1e-9)) + 1;
        if (bins < 10) {  // keep some room around a narrow spread
            lo = std::max(0.0, lo - width * ((10 - bins) / 2));
            bins = std::max(10, static_cast<int>(std::floor((ms.back() - lo) / width + 1e-9)) + 1);
        }
    }
    // The lower edge of bin b, and where a time falls, in bins from the left.
    auto Edge = [&](int b) { return logarithmic ? std::pow(10.0, (lo + b) / perDecade) : lo + b * width; };
    auto Position = [&](double v) {
        return logarithmic ? std::log10(std::max(v, floorMs)) * perDecade - lo : (v - lo) / width;
    };
    std::vector<int> counts(static_cast<size_t>(bins), 0);
    for (double v : ms) {
        int b = static_cast<int>(std::floor(Position(v) + 1e-9));
        counts[static_cast<size_t>(std::min(std::max(b, 0), bins - 1))]++;
    }
    // The count axis runs to a round number in steps of 1, 2 or 5 times a power of ten.
    int most = *std::max_element(counts.begin(), counts.end());
    int step = std::max(1, static_cast<int>(NiceWidth(most, 4) + 0.5));
    int highest = (most + step - 1) / step * step;
    double barW = plotW / bins;
    auto X = [&](double value) { return left + Position(value) * barW; };

    std::string svg = Format(
        "<svg class=\"chart\" viewBox=\"0 0 %.0f %.0f\" role=\"img\" aria-label=\"Histogram of answer times\">\n", W, H);
    // Grid lines and the count axis.
    for (int g = 0; g <= highest; g += step) {
        double y = top + plotH - plotH * g / highest;
        svg += Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#e6e9ee\"/>", left, y, W - right, y);
        svg += Format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\" font-size=\"11\" fill=\"%s\">%d</text>\n",
                      left - 6, y + 4, MUTED, g);
    }
    for (int b = 0; b < bins; ++b) {
        int count = counts[static_cast<size_t>(b)];
        if (count == 0) continue;
        double h = std::max(plotH * count / highest, 2.0);  // a lone outlier stays visible
        double from = Edge(b);
        svg += Format("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" rx=\"2\" fill=\"#3b7dd8\">", left + b * barW + 1,
                      top + plotH - h, std::max(barW - 2, 1.0), h);
        svg += "<title>" + Ms(from) + " to " + Ms(Edge(b + 1)) + Format(" ms: %d</title></rect>", count);
        svg += Format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" font-size=\"10\" fill=\"%s\">%d</text>\n",
                      left + (b + 0.5) * barW, top + plotH - h - 3, MUTED, count);
    }
    // Bin edges along the bottom: about eight labels, or the decades.
    int every = std::max(1, bins / 8);
    for (int b = 0; b <= bins; ++b) {
        long long k = static_cast<long long>(lo) + b;
        bool labelled = logarithmic ? (k % perDecade == 0 || (bins <= perDecade && (k % perDecade + perDecade) % perDecade == perDecade / 2))
                                    : b % every == 0;
        if (!labelled) continue;
        double x = left + b * barW;
        double edge = Edge(b);
        std::string label = logarithmic ? Format(edge < 1 ? "%.2g" : "%.3g", edge) : Ms(edge);
        svg += Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\"/>", x, top + plotH, x,
                      top + plotH + 4, MUTED);
        svg += Format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" font-size=\"11\" fill=\"%s\">", x,
                      top + plotH + 17, MUTED) +
               label + "</text>\n";
    }
    svg += Format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" font-size=\"12\" fill=\"%s\">", left + plotW / 2,
                  H - 4, INK) +
           (logarithmic ? "answer time (ms, logarithmic scale)" : "answer time (ms)") + "</text>\n";
    svg += Format("<text x=\"%.1f\" y=\"12\" font-size=\"11\" fill=\"%s\">transactions</text>\n", 4.0, MUTED);
    // Median and 95th percentile: dashed lines, named in a legend at the top right.
    struct Mark {
        const char* name;
        double value;
        const char* colour;
    };
    Mark marks[] = {{"median", Percentile(ms, 0.5), INK}, {"95th percentile", Percentile(ms, 0.95), "#b7791f"}};
    double legendX = W - right - 330;
    for (const Mark& m : marks) {
        double x = X(m.value);
        svg += Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" stroke-width=\"1.5\" "
                      "stroke-dasharray=\"4 3\"/>",
                      x, top - 2, x, top + plotH, m.colour);
        svg += Format("<line x1=\"%.1f\" y1=\"8\" x2=\"%.1f\" y2=\"8\" stroke=\"%s\" stroke-width=\"1.5\" "
                      "stroke-dasharray=\"4 3\"/>",
                      legendX, legendX + 18, m.colour);
        svg += Format("<text x=\"%.1f\" y=\"12\" font-size=\"12\" fill=\"%s\">", legendX + 24, m.colour) + m.name + " " +
               Ms(m.value) + " ms</text>\n";
        legendX += 150;
    }
    svg += "</svg>\n";
    return svg;
}

std::string Strip(const std::vector<CheckRecord>& records) {
    if (records.empty()) return "<p class=\"muted\">Nothing was sent.</p>";
    const double W = 1040, left = 0, top = 20, barH = 40;
    const double H = top + barH + 22;
    double step = W / records.size();
    std::string svg = Format(
        "<svg class=\"chart\" viewBox=\"0 0 %.0f %.0f\" role=\"img\" aria-label=\"Every transaction in time order\">\n",
        W, H);
    svg += Format("<rect x=\"0\" y=\"%.1f\" width=\"%.0f\" height=\"%.1f\" fill=\"#eef1f4\"/>\n", top, W, barH);
    svg += "<g shape-rendering=\"crispEdges\">\n";
    for (size_t i = 0; i < records.size(); ++i) {
        const TransactionResult& r = records[i].result;
        bool ok = r.verdict == VERDICT_OK;
        svg += Format("<rect x=\"%.2f\" y=\"%.1f\" width=\"%.2f\" height=\"%.1f\" fill=\"%s\"><title>", left + i * step,
                      top, std::max(step, 0.6), barH, ok ? GREEN : RED);
        svg += HtmlEscape(Format("#%d  round %d  ", static_cast<int>(i + 1), records[i].round) + PumpLabel(r.pump) + "  " +
                          r.command + "  " + r.sent + "  " + VerdictWords(r) +
                          (r.answerMs >= 0 ? "  answer " + Ms(r.answerMs) + " ms" : std::string()));
        svg += "</title></rect>\n";
    }
    svg += "</g>\n";
    // Where each round begins.
    for (size_t i = 0; i < records.size(); ++i) {
        if (i > 0 && records[i].round == records[i - 1].round) continue;
        double x = left + i * step;
        if (i > 0) {
            svg += Format("<line x1=\"%.2f\" y1=\"%.1f\" x2=\"%.2f\" y2=\"%.1f\" stroke=\"%s\" stroke-width=\"2\"/>", x,
                          top - 4, x, top + barH + 4, INK);
        }
        svg += Format("<text x=\"%.1f\" y=\"13\" font-size=\"12\" fill=\"%s\">round %d</text>\n", x + 3, INK,
                      records[i].round);
    }
    svg += Format("<text x=\"0\" y=\"%.1f\" font-size=\"11\" fill=\"%s\">", H - 4, MUTED) +
           HtmlEscape(ClockTime(records.front().result.time)) + "</text>";
    svg += Format("<text x=\"%.0f\" y=\"%.1f\" text-anchor=\"end\" font-size=\"11\" fill=\"%s\">", W, H - 4, MUTED) +
           HtmlEscape(ClockTime(records.back().result.time)) + "</text>\n";
    svg += "</svg>\n";
    return svg;
}

// ---- HTML pieces -----------------------------------------------------------

const char* const STYLE = R"CSS(
:root { --ink:#1d2733; --muted:#6b7785; --line:#e6e9ee; --ok:#2e9e5b; --bad:#d64541; --warn:#c98a1b; }
* { box-sizing: border-box; }
body { margin:0; background:#f2f4f7; color:var(--ink);
  font:15px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, "Helvetica Neue", Arial, sans-serif; }
main { max-width:1120px; margin:0 auto; padding:24px 20px 40px; }
h1 { font-size:15px; font-weight:600; color:var(--muted); margin:0 0 10px; letter-spacing:.02em; }
h1 b { color:var(--ink); }
h2 { font-size:18px; margin:0 0 10px; }
h3 { font-size:15px; margin:18px 0 6px; }
.banner { border-radius:12px; padding:18px 24px; color:#fff; display:flex; gap:20px; align-items:center; }
.banner.healthy { background:linear-gradient(135deg,#2e9e5b,#238049); }
.banner.warning { background:linear-gradient(135deg,#d39a2c,#b97f12); }
.banner.failed, .banner.nothing { background:linear-gradient(135deg,#d64541,#b1302c); }
.banner .mark { font-size:44px; line-height:1; font-weight:700; width:56px; height:56px; border-radius:50%;
  background:rgba(255,255,255,.2); display:flex; align-items:center; justify-content:center; flex:none; }
.banner .word { font-size:28px; font-weight:700; line-height:1.1; }
.banner .line { font-size:15px; opacity:.95; margin-top:4px; }
.banner ul { margin:8px 0 0; padding-left:18px; font-size:14px; }
.note { background:#fff4d6; border:1px solid #f0d68a; border-radius:8px; padding:8px 14px; margin:12px 0 0; }
.tiles { display:grid; grid-template-columns:repeat(6,1fr); gap:12px; margin:16px 0; }
.tile { background:#fff; border-radius:10px; padding:12px 14px; box-shadow:0 1px 2px rgba(0,0,0,.07); }
.tile .n { font-size:24px; font-weight:700; font-variant-numeric:tabular-nums; }
.tile .n small { font-size:13px; font-weight:600; color:var(--muted); }
.tile .l { font-size:11px; text-transform:uppercase; letter-spacing:.06em; color:var(--muted); }
.tile.bad .n { color:var(--bad); }
.card { background:#fff; border-radius:12px; padding:16px 20px; margin:16px 0; box-shadow:0 1px 2px rgba(0,0,0,.07); }
.muted { color:var(--muted); }
.chart { width:100%; height:auto; display:block; }
table { border-collapse:collapse; width:100%; font-variant-numeric:tabular-nums; font-size:13px; }
th, td { padding:4px 6px; text-align:right; border-bottom:1px solid var(--line); white-space:nowrap; }
th { font-size:10px; text-transform:uppercase; letter-spacing:.04em; color:var(--muted); font-weight:600;
  vertical-align:bottom; white-space:normal; }
th.l, td.l { text-align:left; }
td.code, .code { font-family:ui-monospace, "SFMono-Regular", Menlo, Consolas, "DejaVu Sans Mono", monospace; font-size:12px; }
tr.fail td { background:#fdecea; }
td.bad { color:var(--bad); font-weight:700; }
td.warn { color:#9a6a0f; font-weight:700; }
td.zero { color:#b7bec7; }
table.grid { width:auto; }
.grid td, .grid th { text-align:center; padding:3px; border:none; }
.grid th { font-size:10px; text-transform:none; letter-spacing:0; line-height:1.2; }
.grid th.l { text-align:right; padding-right:8px; font-size:12px; color:var(--ink); }
.cell { display:block; border-radius:5px; padding:6px 2px; font-size:11px; font-weight:600; color:#fff; min-width:52px; }
.cell.ok { background:var(--ok); }
.cell.warn { background:var(--warn); }
.cell.bad { background:var(--bad); }
.legend { font-size:12px; color:var(--muted); margin-top:8px; }
.legend i { display:inline-block; width:12px; height:12px; border-radius:3px; vertical-align:-2px; margin:0 4px 0 12px; }
.legend i:first-child { margin-left:0; }
dl.facts { display:grid; grid-template-columns:max-content 1fr max-content 1fr; gap:4px 16px; margin:0; }
dl.facts dt { color:var(--muted); }
dl.facts dd { margin:0; }
details summary { cursor:pointer; color:#2b5fab; margin-top:8px; }
footer { color:var(--muted); font-size:12px; text-align:center; margin-top:24px; }
@media print { body { background:#fff; } .card, .tile { box-shadow:none; border:1px solid var(--line); } }
)CSS";

std::string Cell(const std::string& text, const char* cls) {
    return std::string("<td class=\"") + cls + "\">" + text + "</td>";
}

std::string Count(int n, bool badWhenSet) {
    if (n == 0) return Cell("0", "zero");
    return Cell(Format("%d", n), badWhenSet ? "bad" : "");
}

std::string RowTimes(const CheckRow& row) {
    if (row.answerMs.empty()) return "<td class=\"zero\">&ndash;</td><td class=\"zero\">&ndash;</td><td class=\"zero\">&ndash;</td><td class=\"zero\">&ndash;</td>";
    std::string out;
    for (double v : {row.answerMs.front(), Percentile(row.answerMs, 0.5), Percentile(row.answerMs, 0.95), row.answerMs.back()}) {
        out += Cell(Ms(v), v >= SLOW_ANSWER_MS ? "warn" : "");
    }
    return out;
}

std::string TableHead() {
    return "<tr><th class=\"l\">Command</th><th class=\"l\">Text</th><th>Sent</th><th>ACKed</th><th>Replies OK</th>"
           "<th>No ACK</th><th>Checksum errors</th><th>Incomplete</th><th>Stray bytes</th>"
           "<th>Min ms</th><th>Median ms</th><th>95th ms</th><th>Max ms</th></tr>\n";
}

std::string TableRow(const CheckRow& row, const std::string& text) {
    std::string out = row.failed > 0 ? "<tr class=\"fail\">" : "<tr>";
    out += "<td class=\"l\">" + HtmlEscape(row.command) + "</td><td class=\"l code\">" + HtmlEscape(text) + "</td>";
    out += Cell(Format("%d", row.sent), "");
    out += Cell(Format("%d", row.acked), row.acked < row.sent ? "bad" : "");
    out += Cell(Format("%d", row.repliesOk), row.repliesOk < row.sent ? "bad" : "");
    out += Count(row.noAck, true);
    out += Count(row.checksumErrors, true);
    out += Count(row.incomplete, true);
    out += row.strayBytes > 0 ? Cell(Format("%d", row.strayBytes), "warn") : Cell("0", "zero");
    out += RowTimes(row);
    return out + "</tr>\n";
}

// A coloured grid: a row per pump, a column per command; each cell says the
// median answer time, or how many of the command's transactions failed.
std::string GridCell(const CheckRow& row) {
    std::string title = PumpLabel(row.pump) + " \xC2\xB7 " + row.command + ": " + Format("%d sent, %d failed", row.sent, row.failed);
    std::string kinds = FailureKinds(row.noAck, row.checksumErrors, row.incomplete);
    if (!kinds.empty()) title += " (" + kinds + ")";
    if (!row.answerMs.empty()) title += ", median answer " + Ms(Percentile(row.answerMs, 0.5)) + " ms";
    if (row.strayBytes > 0) title += Format(", %d stray bytes", row.strayBytes);
    const char* cls = "ok";
    std::string text;
    if (row.failed > 0) {
        cls = "bad";
        text = Format("\xE2\x9C\x97 %d/%d", row.failed, row.sent);
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

std::string Grid(const std::vector<CheckRow>& rows) {
    std::string out;
    // Controller-wide requests: one row of their own.
    std::vector<const CheckRow*> wide;
    for (const CheckRow& row : rows) {
        if (row.pump == 0) wide.push_back(&row);
    }
    std::vector<std::string> columns;
    std::vector<int> pumps;
    for (const CheckRow& row : rows) {
        if (row.pump == 0) continue;
        if (std::find(columns.begin(), columns.end(), row.command) == columns.end()) columns.push_back(row.command);
        if (std::find(pumps.begin(), pumps.end(), row.pump) == pumps.end()) pumps.push_back(row.pump);
    }
    if (!wide.empty()) {
        out += "<table class=\"grid\"><tr><th></th>";
        for (const CheckRow* row : wide) out += ColumnHead(row->command);
        out += "</tr>\n<tr><th class=\"l\">Controller</th>";
        for (const CheckRow* row : wide) out += GridCell(*row);
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
                                       [&](const CheckRow& r) { return r.pump == pump && r.command == c; });
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

std::string HtmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default:
                // Control bytes (a line feed in a print text) show as a visible escape.
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                    out += Format("\\x%02X", static_cast<unsigned char>(c));
                } else {
                    out.push_back(c);
                }
        }
    }
    return out;
}

std::vector<CheckRow> CheckRows(const std::vector<CheckRecord>& records) {
    std::vector<CheckRow> rows;
    std::map<std::pair<int, std::string>, size_t> index;
    // Controller-wide requests first, whatever pump they went out with.
    for (int pass = 0; pass < 2; ++pass) {
        for (const CheckRecord& record : records) {
            if (record.perPump != (pass == 1)) continue;
            const TransactionResult& r = record.result;
            int pump = record.perPump ? r.pump : 0;
            auto key = std::make_pair(pump, r.command);
            auto found = index.find(key);
            if (found == index.end()) {
                found = index.emplace(key, rows.size()).first;
                rows.emplace_back();
                rows.back().pump = pump;
                rows.back().command = r.command;
            }
            CheckRow& row = rows[found->second];
            ++row.sent;
            if (r.ack) ++row.acked;
            if (r.verdict == VERDICT_OK && (r.hasReply || !r.replyExpected)) ++row.repliesOk;
            if (r.verdict != VERDICT_OK) ++row.failed;
            if (r.verdict == VERDICT_NO_ACK) ++row.noAck;
            if (r.verdict == VERDICT_CHECKSUM_ERROR) ++row.checksumErrors;
            if (r.verdict == VERDICT_INCOMPLETE) ++row.incomplete;
            row.strayBytes += StrayBytes(r);
            if (r.ack && r.answerMs >= 0) row.answerMs.push_back(r.answerMs);
        }
    }
    // Pumps in ascending order, each pump's commands in the order of the run.
    std::stable_sort(rows.begin(), rows.end(), [](const CheckRow& a, const CheckRow& b) { return a.pump < b.pump; });
    for (CheckRow& row : rows) std::sort(row.answerMs.begin(), row.answerMs.end());
    return rows;
}

std::string CheckVerdictLine(const std::vector<CheckRecord>& records, const CheckRunInfo& info) {
    Totals t = SumUp(records);
    std::string stopped = StoppedNote(records, info);
    switch (HealthOf(t)) {
        case NOTHING:
            return stopped + "Nothing was sent.";
        case HEALTHY:
            return stopped + Format("Healthy: all %d transactions succeeded.", t.sent);
        case WARNING: {
            std::string out = stopped + Format("Healthy, with warnings: all %d transactions succeeded, but ", t.sent);
            std::vector<std::string> warnings = Warnings(t);
            for (size_t i = 0; i < warnings.size(); ++i) out += (i == 0 ? "" : "; ") + warnings[i];
            return out + ".";
        }
        case FAILED:
            break;
    }
    std::string out = stopped + Format("FAILED: %d of %d transactions failed (", t.failed, t.sent) +
                      FailureKinds(t.noAck, t.checksumErrors, t.incomplete) + ")";
    if (t.failed == t.sent) return out + ", every command on every pump.";
    std::vector<Spot> spots = FailureSpots(CheckRows(records));
    const size_t most = 4;
    for (size_t i = 0; i < spots.size() && i < most; ++i) {
        out += (i == 0 ? ": " : "; ") + spots[i].where + Format(" %d of %d", spots[i].failed, spots[i].sent);
    }
    if (spots.size() > most) out += Format("; and %d more", static_cast<int>(spots.size() - most));
    return out + ".";
}

std::string CheckReportHtml(const std::vector<CheckRecord>& records, const CheckRunInfo& info) {
    Totals t = SumUp(records);
    std::vector<CheckRow> rows = CheckRows(records);
    Health health = HealthOf(t);
    static const char* const classes[] = {"healthy", "warning", "failed", "nothing"};
    static const char* const words[] = {"Healthy", "Healthy, with warnings", "Failed", "Nothing sent"};
    static const char* const marks[] = {"\xE2\x9C\x93", "!", "\xE2\x9C\x97", "\xE2\x80\x93"};

    std::string h;
    h.reserve(4096 + records.size() * 700);
    h += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    h += "<title>Link check: " + std::string(words[health]) + " \xE2\x80\x93 " + HtmlEscape(info.portName) + " \xE2\x80\x93 " +
         HtmlEscape(info.started) + "</title>\n<style>" + STYLE + "</style>\n</head>\n<body>\n<main>\n";
    h += "<h1><b>Zantrox link check</b> &middot; " + HtmlEscape(info.portName) + Format(" at %d baud", info.baudRate) +
         " &middot; pumps " + HtmlEscape(PumpRanges(info.pumps)) + " &middot; " + HtmlEscape(Readable(info.started)) + "</h1>\n";

    // The verdict.
    h += std::string("<div class=\"banner ") + classes[health] + "\"><div class=\"mark\">" + marks[health] +
         "</div><div><div class=\"word\">" + words[health] + "</div>";
    if (health == HEALTHY) {
        h += Format("<div class=\"line\">All %d transactions got their ACK and a reply that passed its checksum.</div>",
                    t.sent);
    } else if (health == WARNING) {
        h += Format("<div class=\"line\">All %d transactions succeeded, but:</div><ul>", t.sent);
        for (const std::string& w : Warnings(t)) h += "<li>" + HtmlEscape(w) + "</li>";
        h += "</ul>";
    } else if (health == FAILED) {
        h += Format("<div class=\"line\">%d of %d transactions failed: ", t.failed, t.sent) +
             HtmlEscape(FailureKinds(t.noAck, t.checksumErrors, t.incomplete)) + ".</div><ul>";
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
    } else {
        h += "<div class=\"line\">The run ended before the first transaction.</div>";
    }
    h += "</div></div>\n";
    if (info.stopped) {
        h += "<p class=\"note\">" + HtmlEscape(StoppedNote(records, info)) +
             "The report covers what was done up to then.</p>\n";
    }

    // The numbers at a glance.
    h += "<div class=\"tiles\">\n";
    h += Tile(Format("%d", t.sent) +
                  (t.sent != info.plannedTransactions ? Format(" <small>of %d</small>", info.plannedTransactions) : ""),
              "transactions");
    h += Tile(Format("%d", t.failed), "failed", t.failed > 0);
    h += Tile(t.answerMs.empty() ? "&ndash;" : Ms(Percentile(t.answerMs, 0.5)) + " <small>ms</small>", "median answer");
    h += Tile(t.answerMs.empty() ? "&ndash;" : Ms(Percentile(t.answerMs, 0.95)) + " <small>ms</small>", "95th percentile");
    h += Tile(t.answerMs.empty() ? "&ndash;" : Ms(t.answerMs.back()) + " <small>ms</small>", "slowest answer");
    h += Tile(Duration(info.seconds), "duration");
    h += "</div>\n";

    h += "<section class=\"card\"><h2>Pumps and commands</h2>\n" + Grid(rows) + "</section>\n";

    h += "<section class=\"card\"><h2>Every transaction, in time order</h2>\n" + Strip(records);
    h += "<div class=\"legend\"><i style=\"background:var(--ok)\"></i>OK<i style=\"background:var(--bad)\"></i>failed "
         "(no ACK, checksum error or incomplete reply)</div>\n</section>\n";

    h += "<section class=\"card\"><h2>Answer times</h2>\n" + Histogram(t);
    h += Format("<p class=\"muted\">The answer time of a transaction runs from the moment the write of its frame returns "
                "to the moment its ACK byte is read, measured on this PC's monotonic clock (not the time of day). "
                "It can include the time the frame still spends on the wire after the write returns (about %.1f ms a "
                "byte at %d baud). A transaction without an ACK has no answer time",
                10000.0 / info.baudRate, info.baudRate);
    if (t.answerMs.size() < static_cast<size_t>(t.sent)) {
        h += Format(" (%d here)", t.sent - static_cast<int>(t.answerMs.size()));
    }
    h += Format("; a transaction ends when the line stays silent for a receive window of %d ms.</p>\n</section>\n",
                RECEIVE_WINDOW_TICKS * TICK_MS);

    // A table per pump.
    h += "<section class=\"card\"><h2>Each pump, each command</h2>\n";
    std::map<std::pair<int, std::string>, std::string> texts;
    for (const CheckRecord& record : records) {
        texts.emplace(std::make_pair(record.perPump ? record.result.pump : 0, record.result.command), record.result.sent);
    }
    for (size_t i = 0; i < rows.size();) {
        int pump = rows[i].pump;
        h += pump == 0 ? "<h3>Controller-wide requests <span class=\"muted\">(once a round)</span></h3>\n"
                       : Format("<h3>Pump %d</h3>\n", pump);
        h += "<table>" + TableHead();
        for (; i < rows.size() && rows[i].pump == pump; ++i) h += TableRow(rows[i], texts[{pump, rows[i].command}]);
        h += "</table>\n";
    }
    if (rows.empty()) h += "<p class=\"muted\">Nothing was sent.</p>\n";
    h += "</section>\n";

    // The run.
    int roundsDone = records.empty() ? 0 : records.back().round;
    h += "<section class=\"card\"><h2>The run</h2>\n<dl class=\"facts\">\n";
    auto fact = [&h](const std::string& name, const std::string& value) {
        h += "<dt>" + HtmlEscape(name) + "</dt><dd>" + HtmlEscape(value) + "</dd>\n";
    };
    fact("Port", info.portName + (info.portDevice.empty() ? "" : " (" + info.portDevice + ")"));
    fact("Baud rate", Format("%d, 8 data bits, no parity, 1 stop bit", info.baudRate));
    fact("Pumps", PumpRanges(info.pumps));
    fact("Rounds", Format("%d of %d", info.stopped ? roundsDone : info.rounds, info.rounds) +
                       (info.stopped ? " (the last one cut short)" : ""));
    fact("Pause between transactions", Format("%d ms", info.intervalMs));
    fact("Transactions", Format("%d of %d planned", t.sent, info.plannedTransactions));
    fact("Preset amount", Format("%d.%02d", info.presetAmount / 100, info.presetAmount % 100));
    fact("Price base", Format("%d.%03d", info.priceBase / 1000, info.priceBase % 1000));
    fact("Started", Readable(info.started));
    fact("Ended", Readable(info.ended));
    fact("Duration", Duration(info.seconds));
    fact("Program", "zantrox-cli " + info.version);
    h += "</dl>\n</section>\n";

    // Exactly what went out.
    h += "<section class=\"card\"><h2>What was sent</h2>\n"
         "<p class=\"muted\">Only requests that read; nothing that authorizes, stops, resumes, clears, resets, flushes "
         "or changes a price. Each text went out framed (STX, text, ETX, checksum).</p>\n";
    struct Sent {
        std::string command;
        int pump;
        std::string text;
        int count;
    };
    std::vector<Sent> sent;
    std::map<std::string, size_t> sentIndex;
    for (const CheckRecord& record : records) {
        const TransactionResult& r = record.result;
        auto key = r.command + '\n' + r.sent;
        auto found = sentIndex.find(key);
        if (found == sentIndex.end()) {
            sentIndex.emplace(key, sent.size());
            sent.push_back({r.command, record.perPump ? r.pump : 0, r.sent, 1});
        } else {
            sent[found->second].count++;
        }
    }
    h += "<table><tr><th class=\"l\">Command</th><th class=\"l\">For</th><th class=\"l\">Text</th><th>Times</th></tr>\n";
    for (const Sent& s : sent) {
        h += "<tr><td class=\"l\">" + HtmlEscape(s.command) + "</td><td class=\"l\">" +
             (s.pump == 0 ? std::string("controller") : Format("pump %d", s.pump)) + "</td><td class=\"l code\">" +
             HtmlEscape(s.text) + Format("</td><td>%d</td></tr>\n", s.count);
    }
    h += "</table>\n";
    h += Format("<details><summary>Every transaction (%d)</summary>\n", t.sent);
    h += "<table><tr><th>#</th><th class=\"l\">Time (UTC)</th><th>Round</th><th>Pump</th><th class=\"l\">Command</th>"
         "<th class=\"l\">Text</th><th class=\"l\">Verdict</th><th>Answer ms</th><th>Total ms</th>"
         "<th class=\"l\">Received</th></tr>\n";
    for (size_t i = 0; i < records.size(); ++i) {
        const TransactionResult& r = records[i].result;
        bool ok = r.verdict == VERDICT_OK;
        h += ok ? "<tr>" : "<tr class=\"fail\">";
        h += Format("<td>%d</td>", static_cast<int>(i + 1)) + "<td class=\"l\">" + HtmlEscape(r.time) + "</td>" +
             Format("<td>%d</td><td>%d</td>", records[i].round, r.pump) + "<td class=\"l\">" + HtmlEscape(r.command) +
             "</td><td class=\"l code\">" + HtmlEscape(r.sent) + "</td><td class=\"l" + (ok ? "" : " bad") + "\">" +
             HtmlEscape(VerdictWords(r)) + "</td><td>" + (r.answerMs >= 0 ? Ms(r.answerMs) : "&ndash;") + "</td><td>" +
             Ms(r.ms) + "</td><td class=\"l code\">" + HtmlEscape(ShortHex(r.received)) + "</td></tr>\n";
    }
    h += "</table>\n</details>\n</section>\n";

    h += "<footer>zantrox-cli " + HtmlEscape(info.version) + " &middot; " + HtmlEscape(Readable(info.ended)) + "</footer>\n";
    h += "</main>\n</body>\n</html>\n";
    return h;
}
