// Which events a text or JSON output shows, by what fed the stream.
#pragma once

enum OutputForm {
    FORM_SENT = 0,  // send, check: each transaction this program ran
    FORM_LINE = 1,  // watch: each piece heard on one line
    FORM_TAP = 2,   // the tap, a capture read back: pieces with their side, and exchanges
};
