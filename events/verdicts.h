// How an exchange ended, in the command line's words.
#pragma once

#include "link/transaction.h"

// What only a listener on both lines sees, numbered after the transaction verdicts.
enum TapOnlyVerdict {
    VERDICT_OVERLAP = 7,           // the host sent again before the exchange ended
    VERDICT_UNANSWERED_REPLY = 8,  // a controller frame with no request
};

// "ok", "no-ack", "checksum-error", "incomplete", "line-never-quiet",
// "reply-without-end", "stopped", "overlap", "unanswered reply".
const char* VerdictName(int verdict);
// "ACK", "reply OK", "no ACK", "checksum ERROR", "reply incomplete", "line never
// quiet", "reply without end", "stopped".
const char* VerdictWords(int verdict, bool replyExpected);
