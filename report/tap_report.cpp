#include "report/tap_report.h"

#include "link/frame.h"

ReportRecord RecordOfExchange(const TapExchange& exchange, const LineClock& clock) {
    ReportRecord record;
    record.time = clock.Iso(exchange.firstUs).substr(0, 23) + "Z";  // to the millisecond
    record.pump = exchange.pump;
    record.command = exchange.hasRequest ? exchange.command : VerdictName(exchange.verdict);
    record.request = exchange.request;
    record.replyExpected = exchange.replyExpected;
    record.ack = exchange.ackMs >= 0;
    record.verdict = exchange.verdict;
    record.answerMs = exchange.ackMs;
    record.ms = static_cast<double>(exchange.endUs - exchange.firstUs) / 1000.0;
    // What came besides the ACK and a whole reply.
    long long expected = (record.ack ? 1 : 0) +
                         (exchange.hasReply ? static_cast<long long>(exchange.reply.size()) + 3 : 0);
    long long extra = static_cast<long long>(exchange.answer.size()) - expected;
    record.strayBytes = exchange.hasRequest && extra > 0 ? static_cast<int>(extra) : 0;
    record.received = exchange.answer;
    return record;
}
