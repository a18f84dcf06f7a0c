#include "events/verdicts.h"

const char* VerdictName(int verdict) {
    switch (verdict) {
        case VERDICT_OK: return "ok";
        case VERDICT_NO_ACK: return "no-ack";
        case VERDICT_CHECKSUM_ERROR: return "checksum-error";
        case VERDICT_LINE_NEVER_QUIET: return "line-never-quiet";
        case VERDICT_REPLY_WITHOUT_END: return "reply-without-end";
        case VERDICT_STOPPED: return "stopped";
        case VERDICT_OVERLAP: return "overlap";
        case VERDICT_UNANSWERED_REPLY: return "unanswered reply";
        default: return "incomplete";
    }
}

const char* VerdictWords(int verdict, bool replyExpected) {
    switch (verdict) {
        case VERDICT_OK: return replyExpected ? "reply OK" : "ACK";
        case VERDICT_NO_ACK: return "no ACK";
        case VERDICT_CHECKSUM_ERROR: return "checksum ERROR";
        case VERDICT_LINE_NEVER_QUIET: return "line never quiet";
        case VERDICT_REPLY_WITHOUT_END: return "reply without end";
        case VERDICT_STOPPED: return "stopped";
        default: return "reply incomplete";
    }
}
