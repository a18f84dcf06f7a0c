// What a run of transactions came to, counted once for send's summary and for
// check and its report.
#pragma once

#include <map>

// A transaction is ok when its verdict is ok: the ACK and, where a reply was
// expected, a whole reply that passed its checksum. Any other verdict, whatever
// it is, is a failure and is counted under that verdict. "Replies OK" are the ok
// transactions that expected a reply.
struct Tally {
    int transactions = 0;
    int notSent = 0;  // transactions whose frame never went out (a line that never went quiet)
    int acked = 0;
    int ok = 0;
    int repliesOk = 0;
    std::map<int, int> failures;  // verdict -> transactions; only verdicts that happened

    void Add(int verdict, bool ack, bool replyExpected, bool frameSent = true);
    void Add(const Tally& other);
    int Sent() const { return transactions - notSent; }  // frames that went out on the line
    int Failed() const { return transactions - ok; }
    // The transactions with `verdict` (any verdict but ok).
    int Count(int verdict) const;
    bool AllOk() const { return ok == transactions; }
};

#include <vector>

// The value at fraction `p` (0..1) of `sorted`, interpolated linearly between
// neighbouring ranks (the median of 1, 2, 3, 4 is 2.5). 0 for an empty list.
double Percentile(const std::vector<double>& sorted, double p);
