// The report's numbers: the model fed one record at a time, and what the verdict
// makes of them.
#include <algorithm>

#include "report/parts.h"
#include "events/sent_exchange.h"
#include "events/tally.h"
#include "events/trace_text.h"
#include "events/verdicts.h"
#include "link/transaction.h"

namespace {

const size_t LISTED_BYTES = 48;  // of what was read, kept for a listed transaction
const size_t MOST_ROWS = 65535;  // a mark's row index is 16 bits

}  // namespace

ReportRecord RecordOfTransaction(const TransactionResult& r, int round, bool perPump) {
    ReportRecord record;
    record.time = r.time;
    record.round = round;
    record.pump = perPump ? r.pump : 0;
    record.command = r.command;
    record.request = r.sent;
    record.replyExpected = r.replyExpected;
    record.frameSent = !r.frame.empty();
    record.ack = r.ack;
    record.verdict = r.verdict;
    record.answerMs = r.ack ? r.answerMs : -1;
    record.ms = r.ms;
    long stray = static_cast<long>(r.received.size()) - static_cast<long>(r.answer.size());
    record.strayBytes = stray > 0 ? static_cast<int>(stray) : 0;
    record.received = r.received;
    return record;
}

void ReportModel::Add(const ReportRecord& record) {
    auto key = std::make_pair(record.pump, record.command);
    auto found = index_.find(key);
    if (found == index_.end()) {
        if (rows_.size() >= MOST_ROWS - 1) key = std::make_pair(0, std::string("(more commands)"));
        found = index_.find(key);
        if (found == index_.end()) {
            found = index_.emplace(key, rows_.size()).first;
            rows_.emplace_back();
            rows_.back().pump = key.first;
            rows_.back().command = key.second;
            rows_.back().request = record.request;
            texts_.emplace_back();
        }
    }
    size_t index = found->second;
    ReportRow& row = rows_[index];
    row.tally.Add(record.verdict, record.ack, record.replyExpected, record.frameSent);
    totals_.Add(record.verdict, record.ack, record.replyExpected, record.frameSent);
    row.strayBytes += record.strayBytes;
    if (record.strayBytes > 0) ++withStrays_;
    strayBytes_ += record.strayBytes;
    bool answered = record.ack && record.answerMs >= 0;
    if (answered) row.answerMs.push_back(record.answerMs);

    std::vector<ReportText>& texts = texts_[index];
    auto text = std::find_if(texts.begin(), texts.end(), [&](const ReportText& t) { return t.text == record.request; });
    if (text != texts.end()) {
        ++text->count;
    } else if (texts.size() < TEXTS_PER_ROW) {
        texts.push_back({row.pump, row.command, record.request, 1});
    }

    marks_.push_back({record.round, answered ? static_cast<float>(record.answerMs) : -1.0f,
                      static_cast<unsigned short>(index), static_cast<unsigned char>(record.verdict),
                      record.replyExpected});
    int number = static_cast<int>(marks_.size());
    bool ok = record.verdict == VERDICT_OK;
    if (number <= LISTED_FIRST || (!ok && listedFailures_ < LISTED_FAILURES)) {
        if (number > LISTED_FIRST) ++listedFailures_;
        listed_.push_back({number, record.received.size(), record});
        std::vector<unsigned char>& kept = listed_.back().record.received;
        if (kept.size() > LISTED_BYTES) kept.resize(LISTED_BYTES);
        kept.shrink_to_fit();
    }
    if (firstTime_.empty()) firstTime_ = record.time;
    lastTime_ = record.time;
}

std::vector<ReportRow> ReportModel::Rows() const {
    std::vector<ReportRow> rows = rows_;
    std::stable_sort(rows.begin(), rows.end(), [](const ReportRow& a, const ReportRow& b) { return a.pump < b.pump; });
    for (ReportRow& row : rows) std::sort(row.answerMs.begin(), row.answerMs.end());
    return rows;
}

std::vector<double> ReportModel::AnswerTimes() const {
    std::vector<double> all;
    for (const ReportRow& row : rows_) all.insert(all.end(), row.answerMs.begin(), row.answerMs.end());
    std::sort(all.begin(), all.end());
    return all;
}

std::vector<ReportText> ReportModel::Texts() const {
    std::vector<ReportText> all;
    for (const std::vector<ReportText>& texts : texts_) all.insert(all.end(), texts.begin(), texts.end());
    return all;
}

size_t ReportModel::BytesHeld() const {
    auto text = [](const std::string& s) { return s.capacity() + 1; };
    size_t bytes = marks_.capacity() * sizeof(Mark) + rows_.capacity() * sizeof(ReportRow) +
                   listed_.capacity() * sizeof(Listed) + texts_.capacity() * sizeof(texts_[0]);
    for (const ReportRow& row : rows_) {
        bytes += text(row.command) + text(row.request) + row.answerMs.capacity() * sizeof(double);
        bytes += row.tally.failures.size() * 48;  // map nodes
    }
    bytes += index_.size() * (64 + sizeof(std::string));
    for (const std::vector<ReportText>& texts : texts_) {
        bytes += texts.capacity() * sizeof(ReportText);
        for (const ReportText& t : texts) bytes += text(t.command) + text(t.text);
    }
    for (const Listed& l : listed_) {
        bytes += text(l.record.time) + text(l.record.command) + text(l.record.request) + l.record.received.capacity();
    }
    return bytes + text(firstTime_) + text(lastTime_);
}

namespace report {

std::string Ms(double ms) {
    if (ms < 10) return Format("%.2f", ms);
    if (ms < 100) return Format("%.1f", ms);
    return Format("%.0f", ms);
}

std::string Plural(int n, const char* one, const char* many) { return Format("%d %s", n, n == 1 ? one : many); }

std::string PumpLabel(int pump) { return pump == 0 ? "controller-wide" : Format("pump %d", pump); }

std::string ShortName(const std::string& path) {
    size_t slash = path.find('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ClockTime(const std::string& iso) {
    size_t t = iso.find('T');
    return t == std::string::npos ? iso : iso.substr(t + 1, 8);
}

std::string Readable(const std::string& iso) {
    if (iso.size() < 19 || iso[10] != 'T' || iso.back() != 'Z') return iso;
    return iso.substr(0, 10) + " " + iso.substr(11, 8) + " UTC";
}

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

std::string ShortHex(const std::vector<unsigned char>& bytes, size_t total) {
    const size_t most = 48;
    if (total <= most && bytes.size() == total) return HexBytes(bytes);
    std::vector<unsigned char> head(bytes.begin(), bytes.begin() + static_cast<long>(std::min(bytes.size(), most)));
    return HexBytes(head) + Format(" \xE2\x80\xA6 (%d bytes)", static_cast<int>(total));
}

std::string VerdictWordsOf(const ReportRecord& record) {
    return VerdictWords(record.verdict, record.replyExpected);
}

std::string FailureKinds(const Tally& tally) {
    std::string out;
    for (const auto& f : tally.failures) {
        std::string part;
        switch (f.first) {
            case VERDICT_NO_ACK: part = Format("%d no ACK", f.second); break;
            case VERDICT_CHECKSUM_ERROR: part = Plural(f.second, "checksum error", "checksum errors"); break;
            case VERDICT_INCOMPLETE: part = Plural(f.second, "incomplete reply", "incomplete replies"); break;
            case VERDICT_LINE_NEVER_QUIET: part = Format("%d line never quiet", f.second); break;
            case VERDICT_REPLY_WITHOUT_END:
                part = Plural(f.second, "reply without end", "replies without end");
                break;
            case VERDICT_STOPPED: part = Format("%d stopped", f.second); break;
            default: part = Format("%d %s", f.second, VerdictName(f.first)); break;
        }
        out += (out.empty() ? "" : ", ") + part;
    }
    return out;
}

std::vector<Spot> FailureSpots(const std::vector<ReportRow>& rows) {
    std::vector<Spot> spots;
    std::vector<int> pumps;
    for (const ReportRow& row : rows) {
        if (std::find(pumps.begin(), pumps.end(), row.pump) == pumps.end()) pumps.push_back(row.pump);
    }
    for (int pump : pumps) {
        Spot spot{pump, "", {}, false, 0, 0, ""};
        Tally all;
        int commands = 0;
        for (const ReportRow& row : rows) {
            if (row.pump != pump) continue;
            ++commands;
            all.Add(row.tally);
            if (row.tally.Failed() > 0) spot.commands.push_back(row.command);
        }
        spot.sent = all.transactions;
        spot.failed = all.Failed();
        if (spot.failed == 0) continue;
        spot.kinds = FailureKinds(all);
        spot.everyCommand = commands > 1 && static_cast<int>(spot.commands.size()) == commands;
        if (spot.commands.size() == 1) {
            // One command: its own counts say more than the pump's.
            for (const ReportRow& row : rows) {
                if (row.pump == pump && row.command == spot.commands[0]) spot.sent = row.tally.transactions;
            }
            spot.where = PumpLabel(pump) + ", " + spot.commands[0];
        } else {
            spot.where = PumpLabel(pump) + ", " +
                         (spot.everyCommand ? std::string("every command")
                                            : Format("%d commands", static_cast<int>(spot.commands.size())));
        }
        spots.push_back(spot);
    }
    std::stable_sort(spots.begin(), spots.end(), [](const Spot& a, const Spot& b) { return a.failed > b.failed; });
    return spots;
}

Summary SummaryOf(const ReportModel& model) {
    Summary s;
    s.tally = model.Totals();
    s.withStrays = model.WithStrays();
    s.strayBytes = model.StrayBytes();
    s.answerMs = model.AnswerTimes();
    return s;
}

Health HealthOf(const Summary& s) {
    if (s.tally.transactions == 0) return NOTHING;
    if (s.tally.Failed() > 0) return FAILED;
    if (s.withStrays > 0 || (!s.answerMs.empty() && s.answerMs.back() >= SLOW_ANSWER_MS)) return WARNING;
    return HEALTHY;
}

std::vector<std::string> Warnings(const Summary& s) {
    std::vector<std::string> out;
    if (s.withStrays > 0) {
        out.push_back(Format("stray bytes on the line in %d of %d transactions (%d bytes that were neither an ACK "
                             "nor a reply)",
                             s.withStrays, s.tally.transactions, s.strayBytes));
    }
    if (!s.answerMs.empty() && s.answerMs.back() >= SLOW_ANSWER_MS) {
        out.push_back("slow answers: up to " + Ms(s.answerMs.back()) + " ms, median " + Ms(Percentile(s.answerMs, 0.5)) +
                      Format(" ms, where a silent %d ms ends a transaction", RECEIVE_WINDOW_TICKS * TICK_MS));
    }
    return out;
}

std::string StoppedNote(const ReportModel& model, const ReportInfo& info) {
    if (!info.stopped) return std::string();
    if (info.plannedTransactions <= 0) return Format("Stopped by Ctrl+C after %d transactions. ", model.Transactions());
    return Format("Stopped by Ctrl+C after %d of %d transactions. ", model.Transactions(), info.plannedTransactions);
}

std::string LikelyCause(const Summary& s) {
    // Noise that never lets the line fall quiet counts with no ACK: both are what a
    // controller at another rate gives.
    int deaf = 0;
    for (const auto& f : s.tally.failures) {
        if (f.first == VERDICT_NO_ACK || f.first == VERDICT_LINE_NEVER_QUIET) deaf += f.second;
    }
    if (s.tally.transactions > 0 && deaf == s.tally.transactions) {
        return "nothing but noise or no ACK on every command: compare the baud rates";
    }
    return std::string();
}

}  // namespace report

std::string ReportVerdictLine(const ReportModel& model, const ReportInfo& info) {
    using namespace report;
    Summary s = SummaryOf(model);
    std::string stopped = StoppedNote(model, info);
    switch (HealthOf(s)) {
        case NOTHING:
            return stopped + (info.observed ? "Nothing was seen." : "Nothing was sent.");
        case HEALTHY:
            return stopped + Format("Healthy: all %d transactions succeeded.", s.tally.transactions);
        case WARNING: {
            std::string out =
                stopped + Format("Healthy, with warnings: all %d transactions succeeded, but ", s.tally.transactions);
            std::vector<std::string> warnings = Warnings(s);
            for (size_t i = 0; i < warnings.size(); ++i) out += (i == 0 ? "" : "; ") + warnings[i];
            return out + ".";
        }
        case FAILED:
            break;
    }
    std::string out = stopped + Format("FAILED: %d of %d transactions failed (", s.tally.Failed(), s.tally.transactions) +
                      FailureKinds(s.tally) + ")";
    if (s.tally.Failed() == s.tally.transactions) {
        std::string cause = LikelyCause(s);
        return out + ", every command on every pump" + (cause.empty() ? "" : "; " + cause) + ".";
    }
    std::vector<Spot> spots = FailureSpots(model.Rows());
    const size_t most = 4;
    for (size_t i = 0; i < spots.size() && i < most; ++i) {
        out += (i == 0 ? ": " : "; ") + spots[i].where + Format(" %d of %d", spots[i].failed, spots[i].sent);
    }
    if (spots.size() > most) out += Format("; and %d more", static_cast<int>(spots.size() - most));
    return out + ".";
}
