// The report of a run: its model fed by plain records, its verdict, its page and
// where the page is written; on made-up results.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "report/report.h"
#include "events/sent_exchange.h"
#include "events/tally.h"
#include "events/trace_text.h"
#include "events/verdicts.h"
#include "commands/format.h"
#include "events/tally.h"
#include "link/transaction.h"
#include "tests/support/files.h"
#include "tests/support/scratch_folder.h"
#include "tests/support/pty_peer.h"

namespace {

// ---- the report on made-up results -----------------------------------------------

ReportRecord Made(const std::string& command, int pump, int verdict, double answerMs, int round = 1,
                  bool perPump = true, int stray = 0) {
    TransactionResult r;
    r.time = "2026-12-08T09:30:01.123Z";
    r.command = command;
    r.pump = pump;
    r.sent = "B01R";
    r.replyExpected = true;
    r.ack = verdict != VERDICT_NO_ACK;
    r.hasReply = verdict == VERDICT_OK || verdict == VERDICT_CHECKSUM_ERROR;
    r.verdict = verdict;
    r.answerMs = r.ack ? answerMs : -1;
    r.ms = 100 + answerMs;
    if (r.ack) r.answer = {0x06, 0x02, 'x', 0x03, 0x7F};
    r.received.assign(static_cast<size_t>(stray), 0x7E);
    r.received.insert(r.received.end(), r.answer.begin(), r.answer.end());
    return RecordOfTransaction(r, round, perPump);
}

ReportModel ModelOf(const std::vector<ReportRecord>& records) {
    ReportModel model;
    for (const ReportRecord& record : records) model.Add(record);
    return model;
}

ReportInfo MadeInfo(int planned) {
    ReportInfo info;
    info.version = "9.8.7";
    info.ports = {"COM1 (/dev/ttyUSB0)"};
    info.pumps = {1, 2};
    info.rounds = 2;
    info.plannedTransactions = planned;
    info.started = "2026-12-08T09:30:00.000Z";
    info.ended = "2026-12-08T09:31:00.000Z";
    info.seconds = 60;
    return info;
}

size_t Occurrences(const std::string& text, const std::string& piece) {
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

TEST(CheckReport, PercentilesInterpolateBetweenRanks) {
    EXPECT_EQ(Percentile({}, 0.5), 0);
    EXPECT_EQ(Percentile({7}, 0.95), 7);
    EXPECT_DOUBLE_EQ(Percentile({1, 2, 3, 4}, 0.5), 2.5);
    EXPECT_DOUBLE_EQ(Percentile({1, 2, 3}, 0.5), 2);
    std::vector<double> hundred;
    for (int i = 1; i <= 100; ++i) hundred.push_back(i);
    EXPECT_NEAR(Percentile(hundred, 0.95), 95.05, 1e-9);
    EXPECT_EQ(Percentile(hundred, 0), 1);
    EXPECT_EQ(Percentile(hundred, 1), 100);
}

TEST(CheckReport, RowsCountEachPumpAndCommandWithControllerWideRequestsApart) {
    std::vector<ReportRecord> records = {
        Made("Pump/Status/Extended", 1, VERDICT_OK, 5, 1, false),
        Made("Pump/Sale/Read", 1, VERDICT_OK, 4),
        Made("Pump/Sale/Read", 2, VERDICT_NO_ACK, 0),
        Made("Pump/Status/Extended", 1, VERDICT_OK, 1, 2, false),
        Made("Pump/Sale/Read", 1, VERDICT_CHECKSUM_ERROR, 2, 2),
        Made("Pump/Sale/Read", 2, VERDICT_INCOMPLETE, 8, 2, true, 3),
        Made("Pump/Sale/Read", 1, VERDICT_OK, 6, 2),
    };
    std::vector<ReportRow> rows = ModelOf(records).Rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].pump, 0);
    EXPECT_EQ(rows[0].command, "Pump/Status/Extended");
    EXPECT_EQ(rows[0].tally.transactions, 2);
    EXPECT_EQ(rows[0].answerMs, (std::vector<double>{1, 5}));

    const ReportRow& one = rows[1];
    EXPECT_EQ(one.pump, 1);
    EXPECT_EQ(one.tally.transactions, 3);
    EXPECT_EQ(one.tally.acked, 3);
    EXPECT_EQ(one.tally.repliesOk, 2);
    EXPECT_EQ(one.tally.Count(VERDICT_CHECKSUM_ERROR), 1);
    EXPECT_EQ(one.tally.Failed(), 1);
    EXPECT_EQ(one.answerMs, (std::vector<double>{2, 4, 6}));

    const ReportRow& two = rows[2];
    EXPECT_EQ(two.pump, 2);
    EXPECT_EQ(two.tally.transactions, 2);
    EXPECT_EQ(two.tally.acked, 1);
    EXPECT_EQ(two.tally.repliesOk, 0);
    EXPECT_EQ(two.tally.Count(VERDICT_NO_ACK), 1);
    EXPECT_EQ(two.tally.Count(VERDICT_INCOMPLETE), 1);
    EXPECT_EQ(two.tally.Failed(), 2);
    EXPECT_EQ(two.strayBytes, 3);
    EXPECT_EQ(two.answerMs, (std::vector<double>{8}));  // a transaction without ACK has no answer time
}

TEST(CheckReport, VerdictSaysHealthyOrWhatFailedWhereAndHowOften) {
    std::vector<ReportRecord> ok = {Made("Pump/Sale/Read", 1, VERDICT_OK, 1), Made("Pump/Sale/Read", 2, VERDICT_OK, 1)};
    EXPECT_EQ(ReportVerdictLine(ModelOf(ok), MadeInfo(2)), "Healthy: all 2 transactions succeeded.");

    std::vector<ReportRecord> failing = ok;
    failing.push_back(Made("Pump/Prices/READ", 2, VERDICT_NO_ACK, 0));
    failing.push_back(Made("Pump/Prices/READ", 2, VERDICT_CHECKSUM_ERROR, 1));
    failing.push_back(Made("Pump/Prices/READ", 1, VERDICT_OK, 1));
    std::string line = ReportVerdictLine(ModelOf(failing), MadeInfo(5));
    EXPECT_EQ(line.rfind("FAILED: 2 of 5 transactions failed (1 no ACK, 1 checksum error)", 0), 0u) << line;
    EXPECT_NE(line.find("pump 2, Pump/Prices/READ 2 of 2"), std::string::npos) << line;

    // Waits that ran past their bounds fail the run and are named.
    std::vector<ReportRecord> unbounded = ok;
    unbounded.push_back(Made("Pump/Prices/READ", 1, VERDICT_LINE_NEVER_QUIET, 0));
    unbounded.push_back(Made("Pump/Prices/READ", 1, VERDICT_REPLY_WITHOUT_END, 1));
    unbounded.push_back(Made("Pump/Prices/READ", 2, VERDICT_STOPPED, 1));
    line = ReportVerdictLine(ModelOf(unbounded), MadeInfo(5));
    EXPECT_EQ(line.rfind("FAILED: 3 of 5 transactions failed (1 line never quiet, 1 reply without end, 1 stopped)", 0),
              0u) << line;

    // A pump where everything failed is named once.
    std::vector<ReportRecord> deadPump = ok;
    deadPump.push_back(Made("Pump/Prices/READ", 2, VERDICT_NO_ACK, 0));
    deadPump[1] = Made("Pump/Sale/Read", 2, VERDICT_NO_ACK, 0);
    line = ReportVerdictLine(ModelOf(deadPump), MadeInfo(3));
    EXPECT_NE(line.find("pump 2, every command 2 of 2"), std::string::npos) << line;

    // No ACK on every command: the likely cause is the line's rate; not when
    // anything else failed too.
    std::vector<ReportRecord> deaf = {Made("Pump/Sale/Read", 1, VERDICT_NO_ACK, 0),
                                      Made("Pump/Prices/READ", 1, VERDICT_NO_ACK, 0)};
    line = ReportVerdictLine(ModelOf(deaf), MadeInfo(2));
    EXPECT_NE(line.find("; nothing but noise or no ACK on every command: compare the baud rates."), std::string::npos)
        << line;
    deaf[1] = Made("Pump/Prices/READ", 1, VERDICT_CHECKSUM_ERROR, 1);
    line = ReportVerdictLine(ModelOf(deaf), MadeInfo(2));
    EXPECT_EQ(line.find("baud"), std::string::npos) << line;

    std::vector<ReportRecord> noisy = {Made("Pump/Sale/Read", 1, VERDICT_OK, 1, 1, true, 3)};
    line = ReportVerdictLine(ModelOf(noisy), MadeInfo(1));
    EXPECT_EQ(line.rfind("Healthy, with warnings", 0), 0u) << line;
    EXPECT_NE(line.find("stray bytes on the line in 1 of 1 transactions"), std::string::npos) << line;

    std::vector<ReportRecord> slow = {Made("Pump/Sale/Read", 1, VERDICT_OK, 80)};
    line = ReportVerdictLine(ModelOf(slow), MadeInfo(1));
    EXPECT_NE(line.find("slow answers: up to 80.0 ms"), std::string::npos) << line;

    ReportInfo stopped = MadeInfo(40);
    stopped.stopped = true;
    line = ReportVerdictLine(ModelOf(ok), stopped);
    EXPECT_EQ(line, "Stopped by Ctrl+C after 2 of 40 transactions. Healthy: all 2 transactions succeeded.");
    EXPECT_EQ(ReportVerdictLine(ReportModel(), stopped), "Stopped by Ctrl+C after 0 of 40 transactions. Nothing was sent.");
}

TEST(CheckReport, PageIsSelfContainedEscapedAndShowsEveryTransaction) {
    std::vector<ReportRecord> records;
    for (int i = 0; i < 30; ++i) records.push_back(Made("Pump/Sale/Read", 1 + i % 2, i == 7 ? VERDICT_NO_ACK : VERDICT_OK, 0.1 + i * 0.01, 1 + i / 15));
    records[3].command = "<b>&\"odd\"</b>";
    records[3].request = "A\n<x>";
    ReportInfo info = MadeInfo(30);
    info.ports = {"COM1 (/dev/<tty>)"};
    std::string html = ReportHtml(ModelOf(records), info);

    EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_EQ(html.find("http"), std::string::npos);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("src="), std::string::npos);
    EXPECT_EQ(html.find("url("), std::string::npos);
    EXPECT_EQ(html.find("@import"), std::string::npos);
    EXPECT_EQ(html.find("<b>&\"odd"), std::string::npos);
    EXPECT_NE(html.find("&lt;b&gt;&amp;&quot;odd&quot;&lt;/b&gt;"), std::string::npos);
    EXPECT_NE(html.find("A\\x0A&lt;x&gt;"), std::string::npos);
    EXPECT_NE(html.find("/dev/&lt;tty&gt;"), std::string::npos);
    EXPECT_EQ(html.find("<tty>"), std::string::npos);

    EXPECT_NE(html.find("Failed"), std::string::npos);
    EXPECT_NE(html.find("1 of 30 transactions failed"), std::string::npos);
    EXPECT_NE(html.find("9.8.7"), std::string::npos);
    EXPECT_NE(html.find("monotonic clock"), std::string::npos);
    EXPECT_EQ(Occurrences(html, "<svg"), 2u);  // the histogram and the strip
    // The strip: a rectangle per transaction, one of them red.
    EXPECT_EQ(Occurrences(html, "fill=\"#d64541\"><title>"), 1u);
    EXPECT_EQ(Occurrences(html, "fill=\"#2e9e5b\"><title>"), 29u);
    EXPECT_EQ(Occurrences(html, ">round 2</text>"), 1u);
    EXPECT_EQ(Occurrences(html, "</html>"), 1u);

    // With nothing sent the page still stands.
    std::string empty = ReportHtml(ReportModel(), info);
    EXPECT_NE(empty.find("Nothing sent"), std::string::npos);
    EXPECT_EQ(Occurrences(empty, "</html>"), 1u);
}

// A page is UTF-8 through and through: the JSON writer refuses anything else.
bool IsUtf8(const std::string& text) {
    try {
        (void)nlohmann::json(text).dump();
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

TEST(CheckReport, AnyVerdictButOkIsAFailureCountedUnderThatVerdict) {
    const int NEW_VERDICT = 9;  // one the report has no words for
    Tally tally;
    tally.Add(VERDICT_OK, true, true);
    tally.Add(VERDICT_OK, true, false);
    tally.Add(NEW_VERDICT, true, true);
    tally.Add(VERDICT_NO_ACK, false, true);
    EXPECT_EQ(tally.transactions, 4);
    EXPECT_EQ(tally.acked, 3);
    EXPECT_EQ(tally.ok, 2);
    EXPECT_EQ(tally.repliesOk, 1);  // the ACK-only transaction is ok, but brought no reply
    EXPECT_EQ(tally.Failed(), 2);
    EXPECT_EQ(tally.Count(NEW_VERDICT), 1);
    EXPECT_FALSE(tally.AllOk());

    // A frame held back from a line that never went quiet is a failed transaction,
    // but nothing went out: it is not counted as sent, here or in a sum.
    Tally held;
    held.Add(VERDICT_LINE_NEVER_QUIET, false, true, false);
    held.Add(VERDICT_OK, true, true);
    EXPECT_EQ(held.transactions, 2);
    EXPECT_EQ(held.Sent(), 1);
    EXPECT_EQ(held.Failed(), 1);
    Tally sum;
    sum.Add(held);
    sum.Add(held);
    EXPECT_EQ(sum.Sent(), 2);
    EXPECT_EQ(sum.Failed(), 2);

    std::vector<ReportRecord> records = {Made("Pump/Sale/Read", 1, VERDICT_OK, 1), Made("Pump/Sale/Read", 1, VERDICT_OK, 1)};
    records[1].verdict = NEW_VERDICT;
    ReportModel model = ModelOf(records);
    std::string line = ReportVerdictLine(model, MadeInfo(2));
    EXPECT_EQ(line.rfind("FAILED: 1 of 2 transactions failed (1 " + std::string(VerdictName(NEW_VERDICT)) + ")", 0), 0u)
        << line;
    std::string html = ReportHtml(model, MadeInfo(2));
    EXPECT_EQ(Occurrences(html, "fill=\"#d64541\"><title>"), 1u);
    EXPECT_NE(html.find("<th>" + std::string(VerdictName(NEW_VERDICT)) + "</th>"), std::string::npos);
}

TEST(CheckReport, ModelOfAHundredThousandTransactionsStaysSmallAndSoDoesThePage) {
    ReportModel model;
    const int n = 100000;
    for (int i = 0; i < n; ++i) {
        ReportRecord r = Made(i % 19 < 6 ? "Pump/Status/Extended" : "Pump/Totals/Hose1", 1 + i % 32,
                              i % 97 == 0 ? VERDICT_CHECKSUM_ERROR : VERDICT_OK, 0.1 + (i % 50) * 0.01, 1 + i / 608);
        r.received.assign(60, 'x');
        model.Add(r);
    }
    EXPECT_EQ(model.Transactions(), n);
    EXPECT_EQ(model.Totals().Count(VERDICT_CHECKSUM_ERROR), (n + 96) / 97);
    EXPECT_LT(model.BytesHeld(), 16u << 20) << model.BytesHeld();  // well under the 50 MB a run may take
    size_t listed = model.ListedTransactions().size();
    EXPECT_EQ(listed, static_cast<size_t>(ReportModel::LISTED_FIRST + ReportModel::LISTED_FAILURES));
    EXPECT_EQ(model.ListedTransactions().back().record.verdict, VERDICT_CHECKSUM_ERROR);

    ReportInfo info = MadeInfo(n);
    std::string html = ReportHtml(model, info);
    EXPECT_LT(html.size(), 8u << 20);
    size_t bars = Occurrences(html, "fill=\"#d64541\"><title>") + Occurrences(html, "fill=\"#2e9e5b\"><title>");
    EXPECT_LE(bars, static_cast<size_t>(ReportModel::STRIP_MOST));
    EXPECT_GT(bars, static_cast<size_t>(ReportModel::STRIP_MOST) / 2);
    EXPECT_NE(html.find(Format("of the %d transactions", n)), std::string::npos);
    EXPECT_NE(html.find(Format("%d of %d transactions failed", (n + 96) / 97, n)), std::string::npos);
}

TEST(CheckReport, BytesThatAreNotUtf8ShowAsEscapesAndThePageStaysUtf8) {
    EXPECT_EQ(HtmlEscape("/tmp/\xff\xfe"), "/tmp/\\xFF\\xFE");
    EXPECT_EQ(HtmlEscape("caf\xC3\xA9 \xE2\x9C\x93"), "caf\xC3\xA9 \xE2\x9C\x93");  // whole characters pass
    EXPECT_EQ(HtmlEscape("\xC3"), "\\xC3");                          // cut short
    EXPECT_EQ(HtmlEscape("\xC0\xAF"), "\\xC0\\xAF");                 // overlong
    EXPECT_EQ(HtmlEscape("\xED\xA0\x80"), "\\xED\\xA0\\x80");        // a surrogate

    std::vector<ReportRecord> records = {Made("Pump/Sale/Read", 1, VERDICT_OK, 1)};
    records[0].command = "Pump/\xff";
    records[0].received = {0xFF, 0x06};
    ReportInfo info = MadeInfo(1);
    info.ports = {"COM3 (/home/u/.config/zantrox/com3 -> /tmp/\xff\xfe)", "/dev/ttyUSB\xe9"};
    std::string html = ReportHtml(ModelOf(records), info);
    EXPECT_TRUE(IsUtf8(html));
    EXPECT_NE(html.find("/tmp/\\xFF\\xFE"), std::string::npos);
    EXPECT_NE(html.find("/dev/ttyUSB\\xE9"), std::string::npos);
    EXPECT_TRUE(IsUtf8(ReportVerdictLine(ModelOf(records), info)));
}

TEST(CheckReport, ObservedRunSaysWhatWasSeenUnderItsCaption) {
    std::vector<ReportRecord> records = {Made("Pump/Sale/Read", 1, VERDICT_OK, 1)};
    records[0].round = 0;
    ReportInfo info;
    info.title = "Zantrox line tap";
    info.caption = "observed on the line, nothing sent <tap>";
    info.observed = true;
    info.ports = {"/dev/ttyUSB0", "/dev/ttyUSB1"};
    info.started = "2026-12-08T09:30:00.000Z";
    std::string html = ReportHtml(ModelOf(records), info);
    EXPECT_NE(html.find("observed on the line, nothing sent &lt;tap&gt;"), std::string::npos);
    EXPECT_NE(html.find("What was seen"), std::string::npos);
    EXPECT_EQ(html.find("What was sent"), std::string::npos);
    EXPECT_EQ(html.find("Preset amount"), std::string::npos);
    EXPECT_EQ(html.find(">round "), std::string::npos);  // no rounds to mark
    EXPECT_NE(html.find("/dev/ttyUSB0, /dev/ttyUSB1"), std::string::npos);
    EXPECT_EQ(ReportVerdictLine(ReportModel(), info), "Nothing was seen.");
}

TEST(CheckReport, FormatGivesTextsOfAnyLengthWhole) {
    std::string longText(5000, 'a');
    EXPECT_EQ(Format("<%s>", longText.c_str()), "<" + longText + ">");
    EXPECT_EQ(Format("%d ms", 12), "12 ms");
}

// ---- where the report goes ----------------------------------------------------------

class ReportFile : public testsupport::ScratchFolder {};

TEST_F(ReportFile, ReplacesTheOldReportWholeAndLeavesNothingElse) {
    std::string path = dir_ + "/r.html";
    WriteText(path, "old");
    std::string error;
    ASSERT_TRUE(WriteReportFile(path, std::string(300000, 'n'), error)) << error;
    EXPECT_EQ(testsupport::ReadWholeFile(path), std::string(300000, 'n'));
    EXPECT_EQ(Names(), std::vector<std::string>{"r.html"});
}

TEST_F(ReportFile, FullDiskLeavesTheOldReportAsItWasAndSaysSo) {
    if (!MountSmallDisk()) GTEST_SKIP() << "a small filesystem cannot be mounted here";
    std::string path = dir_ + "/r.html";
    WriteText(path, "the old report");
    std::string error;
    EXPECT_FALSE(WriteReportFile(path, std::string(200000, 'n'), error));
    EXPECT_NE(error.find("full"), std::string::npos) << error;
    EXPECT_EQ(testsupport::ReadWholeFile(path), "the old report");
    EXPECT_EQ(Names(), std::vector<std::string>{"r.html"});  // the cut new one is gone
}

TEST_F(ReportFile, FolderFifoTerminalOrMissingFolderIsRefusedBeforeAnything) {
    std::string error;
    EXPECT_FALSE(ReportTargetUsable(dir_, error));
    EXPECT_NE(error.find("folder"), std::string::npos) << error;

    std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(ReportTargetUsable(fifo, error));  // and does not wait for a reader
    EXPECT_NE(error.find("FIFO"), std::string::npos) << error;

    testsupport::PtyPeer pty;
    ASSERT_TRUE(pty.ok());
    EXPECT_FALSE(ReportTargetUsable(pty.slavePath(), error));
    EXPECT_NE(error.find("terminal"), std::string::npos) << error;

    EXPECT_FALSE(ReportTargetUsable(dir_ + "/no/such/r.html", error));
    EXPECT_NE(error.find("does not exist"), std::string::npos) << error;

    EXPECT_TRUE(ReportTargetUsable(dir_ + "/new.html", error)) << error;
    WriteText(dir_ + "/old.html", "x");
    EXPECT_TRUE(ReportTargetUsable(dir_ + "/old.html", error)) << error;
    EXPECT_EQ(Names().size(), 2u);  // the fifo and old.html: nothing left behind
    EXPECT_EQ(testsupport::ReadWholeFile(dir_ + "/old.html"), "x");
}

}  // namespace
