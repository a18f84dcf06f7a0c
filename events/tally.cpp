#include "events/tally.h"

#include <cmath>

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

double Percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    if (p <= 0) return sorted.front();
    if (p >= 1) return sorted.back();
    double h = (sorted.size() - 1) * p;
    size_t below = static_cast<size_t>(std::floor(h));
    if (below + 1 >= sorted.size()) return sorted.back();
    return sorted[below] + (h - below) * (sorted[below + 1] - sorted[below]);
}
