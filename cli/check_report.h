// The report of a link check: one self-contained HTML page made from the
// transactions of the run and what the run was. A pure function, so it can be
// tested on made-up results and timed.
#pragma once

#include <string>
#include <vector>

#include "cli/cli.h"

// One transaction of the check with where it stood in the run.
struct CheckRecord {
    TransactionResult result;  // result.command is the menu path
    int round = 1;
    bool perPump = true;  // false: a controller-wide request, sent once a round
};

// What the run was: everything the report says besides the transactions.
struct CheckRunInfo {
    std::string version;     // the program's
    std::string portName;    // "COM1"
    std::string portDevice;  // what the name resolved to
    int baudRate = 9600;
    int presetAmount = 100;  // hundredths
    int priceBase = 1199;    // thousandths
    std::vector<int> pumps;
    int rounds = 0;          // asked for
    int intervalMs = 0;
    int plannedTransactions = 0;
    bool stopped = false;    // Ctrl+C ended it early
    std::string started;     // ISO 8601
    std::string ended;
    double seconds = 0;      // wall time of the run
};

// Counts and answer times of one command on one pump (pump 0: the
// controller-wide requests).
struct CheckRow {
    int pump = 0;
    std::string command;
    int sent = 0;
    int acked = 0;
    int repliesOk = 0;  // verdict ok with a reply, where one was expected
    int noAck = 0;
    int checksumErrors = 0;
    int incomplete = 0;
    int failed = 0;       // any verdict but ok
    int strayBytes = 0;   // bytes read that were neither the ACK nor the reply
    std::vector<double> answerMs;  // of the transactions with an ACK, sorted
};

// The rows in the order of the run: controller-wide requests first, then each
// pump's commands in the order they were first sent.
std::vector<CheckRow> CheckRows(const std::vector<CheckRecord>& records);

// Text made safe for HTML element content and attribute values.
std::string HtmlEscape(const std::string& text);

// The verdict of the run in one plain sentence (no HTML): healthy, or what failed,
// where and how often. The same words head the report.
std::string CheckVerdictLine(const std::vector<CheckRecord>& records, const CheckRunInfo& info);

// Answer times at least this long are reported as close to the receive window.
enum { SLOW_ANSWER_MS = 50 };

// The whole report page.
std::string CheckReportHtml(const std::vector<CheckRecord>& records, const CheckRunInfo& info);
