#include "cli/tally.h"

#include "link/transaction.h"

void Tally::Add(int verdict, bool ack, bool replyExpected, bool frameSent) {
    ++transactions;
    if (!frameSent) ++notSent;
    if (ack) ++acked;
    if (verdict == VERDICT_OK) {
        ++ok;
        if (replyExpected) ++repliesOk;
    } else {
        ++failures[verdict];
    }
}

void Tally::Add(const Tally& other) {
    transactions += other.transactions;
    notSent += other.notSent;
    acked += other.acked;
    ok += other.ok;
    repliesOk += other.repliesOk;
    for (const auto& f : other.failures) failures[f.first] += f.second;
}

int Tally::Count(int verdict) const {
    auto found = failures.find(verdict);
    return found == failures.end() ? 0 : found->second;
}
