// The simulated controller: a frame parser for the bytes the console sends, and
// the controller's answers with the little state they depend on (pump status,
// sales, prices, errors, reader keys and cards). Pure logic, no I/O.
#pragma once

enum {
    // The longest text kept. A frame with a longer text is more than 1100 bytes
    // (STX, text, ETX, checksum) and is dropped as an overflow.
    SIM_TEXT_MAX = 1097,
    SIM_PUMPS = 32,        // pumps 1..32 have a status
    SIM_PUMP_NUMBERS = 100,  // two-digit pump numbers 00..99
    SIM_GRADES = 10,       // price grades 1..9 (index 0 unused)
    SIM_ERRORS = 2,        // errors pending at start
    SIM_REPLY_BYTES = 1000,  // room for any reply text and its NUL
    SIM_LONG_REPLY_BYTES = 950,
};

enum FrameVerdict {
    VERDICT_OK = 0,
    VERDICT_BAD_CHECKSUM = 1,
    VERDICT_OVERFLOW = 2,
};

struct FrameParser {
    int state;       // PARSE_HUNT, PARSE_TEXT or PARSE_CHECKSUM (controller.cpp)
    int restart;     // 1 when the byte that ended an overflow was an STX
    int length;      // text bytes held
    unsigned sum;    // STX + text (+ ETX once seen)
    unsigned char text[SIM_TEXT_MAX];
};

// Starts hunting for an STX.
void ParserReset(FrameParser& parser);

// Takes one received byte. Returns 1 when a frame has ended with it (verdict OK
// or BAD_CHECKSUM, text in parser.text[0 .. length-1]) or an overflow was found
// (verdict OVERFLOW, the text collected so far); 0 otherwise. The text stays valid
// until the next call.
int ParserFeed(FrameParser& parser, unsigned char byte, int& verdict);

struct ControllerState {
    char status[SIM_PUMPS];  // 'I' idle, 'A' authorized, 'S' stopped; pump p at p-1
    unsigned char saleCleared[SIM_PUMP_NUMBERS];
    unsigned char keysCleared[SIM_PUMP_NUMBERS];
    unsigned char cardCleared[SIM_PUMP_NUMBERS];
    int price[SIM_PUMP_NUMBERS][SIM_GRADES][2];  // cash, credit in thousandths
    int errorFirst;  // errors errorFirst .. SIM_ERRORS-1 are pending
};

// The state of a controller just switched on.
void ControllerReset(ControllerState& state);

// Acts on a well-received text. When the text expects a reply, writes the reply
// text (NUL-terminated) into `reply` and returns 1; returns 0 when the ACK alone
// answers it, -1 when the reply would not fit `capacity`.
int ControllerAnswer(ControllerState& state, const unsigned char* text, int length, char* reply,
                     int capacity);

// The text of a long reply: SIM_LONG_REPLY_BYTES letters 'A'..'Z' repeated.
// `reply` needs SIM_LONG_REPLY_BYTES + 1 bytes. Returns 0, or -1 when it does not fit.
int LongReplyText(char* reply, int capacity);
