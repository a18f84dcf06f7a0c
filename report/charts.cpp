// The report's charts as inline SVG: the answer-time histogram and the strip of
// every transaction in time order.
#include <algorithm>
#include <cmath>

#include "report/parts.h"
#include "events/tally.h"
#include "events/trace_text.h"
#include "events/verdicts.h"

namespace report {

namespace {

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

}  // namespace

std::string Histogram(const std::vector<double>& ms) {
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
        std::string label = !logarithmic ? Ms(edge) : edge < 1 ? Format("%.2g", edge) : Format("%.3g", edge);
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

std::string Strip(const ReportModel& model) {
    const std::vector<ReportModel::Mark>& marks = model.Marks();
    if (marks.empty()) return "<p class=\"muted\">Nothing was sent.</p>";
    const double W = 1040, top = 20, barH = 40;
    const double H = top + barH + 22;
    // A bar a transaction, or, for a long run, a bar for each run of `per` of them:
    // red when any of them failed.
    const size_t n = marks.size();
    const size_t per = (n + ReportModel::STRIP_MOST - 1) / ReportModel::STRIP_MOST;
    const size_t bars = (n + per - 1) / per;
    const double step = W / bars;
    std::string svg = Format(
        "<svg class=\"chart\" viewBox=\"0 0 %.0f %.0f\" role=\"img\" aria-label=\"Every transaction in time order\">\n",
        W, H);
    svg += Format("<rect x=\"0\" y=\"%.1f\" width=\"%.0f\" height=\"%.1f\" fill=\"#eef1f4\"/>\n", top, W, barH);
    svg += "<g shape-rendering=\"crispEdges\">\n";
    for (size_t b = 0; b < bars; ++b) {
        size_t from = b * per, to = std::min(n, from + per);
        int failed = 0;
        for (size_t i = from; i < to; ++i) failed += marks[i].verdict != 0 ? 1 : 0;
        svg += Format("<rect x=\"%.2f\" y=\"%.1f\" width=\"%.2f\" height=\"%.1f\" fill=\"%s\"><title>", b * step, top,
                      std::max(step, 0.6), barH, failed > 0 ? RED : GREEN);
        if (per == 1) {
            const ReportModel::Mark& m = marks[from];
            const ReportRow& row = model.RowOf(m);
            ReportRecord words;
            words.verdict = m.verdict;
            words.replyExpected = m.replyExpected;
            std::string title = Format("#%d  ", static_cast<int>(from + 1));
            if (m.round > 0) title += Format("round %d  ", m.round);
            svg += HtmlEscape(title + PumpLabel(row.pump) + "  " + row.command + "  " + row.request + "  " +
                              VerdictWordsOf(words) + (m.answerMs >= 0 ? "  answer " + Ms(m.answerMs) + " ms" : std::string()));
        } else {
            svg += Format("#%d to #%d: %d failed", static_cast<int>(from + 1), static_cast<int>(to), failed);
        }
        svg += "</title></rect>\n";
    }
    svg += "</g>\n";
    // Where each round begins; for many rounds, about twenty of them.
    int rounds = model.LastRound();
    int every = std::max(1, (rounds + 19) / 20);
    for (size_t i = 0; i < n; ++i) {
        int round = marks[i].round;
        if (round <= 0 || (i > 0 && round == marks[i - 1].round) || (round - 1) % every != 0) continue;
        double x = static_cast<double>(i / per) * step;
        if (i > 0) {
            svg += Format("<line x1=\"%.2f\" y1=\"%.1f\" x2=\"%.2f\" y2=\"%.1f\" stroke=\"%s\" stroke-width=\"2\"/>", x,
                          top - 4, x, top + barH + 4, INK);
        }
        svg += Format("<text x=\"%.1f\" y=\"13\" font-size=\"12\" fill=\"%s\">round %d</text>\n", x + 3, INK, round);
    }
    svg += Format("<text x=\"0\" y=\"%.1f\" font-size=\"11\" fill=\"%s\">", H - 4, MUTED) +
           HtmlEscape(ClockTime(model.FirstTime())) + "</text>";
    svg += Format("<text x=\"%.0f\" y=\"%.1f\" text-anchor=\"end\" font-size=\"11\" fill=\"%s\">", W, H - 4, MUTED) +
           HtmlEscape(ClockTime(model.LastTime())) + "</text>\n";
    svg += "</svg>\n";
    return svg;
}

}  // namespace report
