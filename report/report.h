// The report of a run of transactions: one self-contained HTML page.
//
// The entry point, for check and for anything else that has transactions to show
// (a tap that only listens, say):
//   ReportModel model;
//   for each transaction: model.Add(record);        // a plain ReportRecord
//   std::string line = ReportVerdictLine(model, info);
//   std::string html = ReportHtml(model, info);     // info: the run, its mode, its ports
//   WriteReportFile(path, html, error);             // safely beside the old one
// The model keeps tallies and only what the page draws, so it stays small however
// long the run (about 20 bytes a transaction, plus a bounded list of them in full).
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "events/tally.h"

struct TransactionResult;

// One transaction as the report sees it.
struct ReportRecord {
    std::string time;          // ISO 8601, UTC, milliseconds
    int round = 0;             // the round of a check; 0 where there are none
    int pump = 0;              // the pump it was for; 0: none (a controller-wide request)
    std::string command;       // the menu path, or whatever names the request
    std::string request;       // the message text
    bool replyExpected = false;
    bool frameSent = true;     // false: the line never went quiet and the frame was held back
    bool ack = false;
    int verdict = 0;           // a TransactionVerdict; any value
    double answerMs = -1;      // from the end of the frame to the ACK; -1 without one
    double ms = 0;             // the whole transaction
    int strayBytes = 0;        // bytes read that were neither the ACK nor the reply
    std::vector<unsigned char> received;  // what was read (the page shows the first bytes)
};

// A check's transaction as a record: `perPump` false for a controller-wide request.
ReportRecord RecordOfTransaction(const TransactionResult& result, int round, bool perPump);

// Counts and answer times of one command on one pump (pump 0: none).
struct ReportRow {
    int pump = 0;
    std::string command;
    std::string request;       // the first text seen
    Tally tally;
    int strayBytes = 0;
    std::vector<double> answerMs;  // of the transactions with an ACK; sorted by Rows()
};

// The distinct texts of a command, with how often each went (at most
// ReportModel::TEXTS_PER_ROW a row; `more` counts the rest).
struct ReportText {
    int pump;
    std::string command;
    std::string text;
    int count;
};

class ReportModel {
public:
    enum { STRIP_MOST = 2000, LISTED_FIRST = 1000, LISTED_FAILURES = 1000, TEXTS_PER_ROW = 8 };

    void Add(const ReportRecord& record);

    int Transactions() const { return static_cast<int>(marks_.size()); }
    const Tally& Totals() const { return totals_; }
    // Controller-wide requests first, then pumps in ascending order, each pump's
    // commands in the order they first came; answer times sorted.
    std::vector<ReportRow> Rows() const;
    // Every answer time of the run, sorted.
    std::vector<double> AnswerTimes() const;
    int WithStrays() const { return withStrays_; }
    int StrayBytes() const { return strayBytes_; }
    int LastRound() const { return marks_.empty() ? 0 : marks_.back().round; }
    const std::string& FirstTime() const { return firstTime_; }
    const std::string& LastTime() const { return lastTime_; }

    // One mark a transaction, in the order they came: what the strip draws.
    struct Mark {
        int round;
        float answerMs;      // -1 without an ACK
        unsigned short row;  // index into the rows as added
        unsigned char verdict;
        bool replyExpected;
    };
    const std::vector<Mark>& Marks() const { return marks_; }
    // The row a mark points at, as it was added (not sorted).
    const ReportRow& RowOf(const Mark& mark) const { return rows_[mark.row]; }

    // The transactions kept in full for the list at the end of the page: the
    // first LISTED_FIRST, then failures up to LISTED_FAILURES more.
    struct Listed {
        int number;  // 1 = the first of the run
        size_t receivedBytes;  // record.received keeps only the first bytes
        ReportRecord record;
    };
    const std::vector<Listed>& ListedTransactions() const { return listed_; }
    std::vector<ReportText> Texts() const;

    // The heap the model holds, roughly, in bytes.
    size_t BytesHeld() const;

private:
    Tally totals_;
    std::vector<ReportRow> rows_;
    std::map<std::pair<int, std::string>, size_t> index_;  // (pump, command) -> row
    std::vector<std::vector<ReportText>> texts_;  // per row
    std::vector<Mark> marks_;
    std::vector<Listed> listed_;
    int listedFailures_ = 0;
    int withStrays_ = 0;
    int strayBytes_ = 0;
    std::string firstTime_;
    std::string lastTime_;
};

// A step of an acceptance run, for the table at the top of its report.
struct ReportStep {
    std::string suite;
    std::string name;
    bool run = true;   // false: Ctrl+C came first
    bool pass = true;
    std::string why;   // what was expected and what came, for a failure
};

// What the run was: everything the page says besides the transactions.
struct ReportInfo {
    std::string title = "Zantrox link check";
    // How the transactions came about, said under the title: "" for a check that
    // sent them, or e.g. "observed on the line, nothing sent". With `observed` the
    // page speaks of what was seen rather than what was sent and leaves out the
    // check's own settings (rounds, pause, preset, price).
    std::string caption;
    bool observed = false;
    std::string version;             // the program's
    std::vector<std::string> ports;  // "COM1 (/dev/ttyUSB0)", one a port; any bytes
    int baudRate = 9600;
    int presetAmount = 100;  // hundredths
    int priceBase = 1199;    // thousandths
    std::vector<int> pumps;
    int rounds = 0;          // asked for
    int intervalMs = 0;
    int plannedTransactions = 0;  // 0: no plan
    bool stopped = false;    // Ctrl+C ended it early
    std::string started;     // ISO 8601
    std::string ended;
    double seconds = 0;      // wall time of the run
    std::vector<ReportStep> steps;  // an acceptance run's steps, shown first
};

// Text made safe for HTML element content and attribute values: markup escaped,
// control bytes and bytes that are not UTF-8 shown as \xNN.
std::string HtmlEscape(const std::string& text);

// The verdict of the run in one plain sentence (no HTML): healthy, or what failed,
// where and how often. The same words head the report.
std::string ReportVerdictLine(const ReportModel& model, const ReportInfo& info);

// Answer times at least this long are reported as close to the receive window.
enum { SLOW_ANSWER_MS = 50 };

// The whole report page.
std::string ReportHtml(const ReportModel& model, const ReportInfo& info);

// Whether `path` can take a report, found out before anything is sent: not a
// folder, a terminal, a FIFO or another device, in a folder that exists and may
// be written. Leaves nothing behind. Returns false with a reason in `error`.
bool ReportTargetUsable(const std::string& path, std::string& error);

// Writes `content` to a new file beside `path` (unique, created exclusively) and
// renames it over `path`. On failure the old file at `path` is untouched, the new
// one removed, and `error` says what happened in words.
bool WriteReportFile(const std::string& path, const std::string& content, std::string& error);
