#include "sim/controller.h"

#include <stdio.h>
#include <string.h>

#include "link/frame.h"

namespace {

enum { PARSE_HUNT = 0, PARSE_TEXT = 1, PARSE_CHECKSUM = 2 };

const int PRICE_START = 1199;  // grade 1 cash price at switch-on, thousandths
const int SALE_PRICE = 1199;
const int ERROR_PUMP[SIM_ERRORS] = {1, 5};
const int ERROR_CODE[SIM_ERRORS] = {17, 42};
const int READER_PUMPS = 8;  // pumps 1..8 have a card reader

void BeginFrame(FrameParser& parser) {
    parser.state = PARSE_TEXT;
    parser.length = 0;
    parser.sum = STX;
}

int IsDigit(unsigned char c) { return c >= '0' && c <= '9' ? 1 : 0; }

// The two-digit pump number at text[1..2], or -1.
int PumpAt(const unsigned char* text, int length) {
    if (length < 3 || !IsDigit(text[1]) || !IsDigit(text[2])) return -1;
    return (text[1] - '0') * 10 + (text[2] - '0');
}

int Is(const unsigned char* text, int length, const char* literal) {
    int n = static_cast<int>(strlen(literal));
    return n == length && memcmp(text, literal, static_cast<size_t>(n)) == 0 ? 1 : 0;
}

// 1 when text[from..] is exactly `literal`.
int TailIs(const unsigned char* text, int length, int from, const char* literal) {
    if (from > length) return 0;
    return Is(text + from, length - from, literal);
}

// The six-digit number at text[at..at+5], or -1.
int SixDigits(const unsigned char* text, int at) {
    int value = 0;
    for (int i = 0; i < 6; ++i) {
        if (!IsDigit(text[at + i])) return -1;
        value = value * 10 + (text[at + i] - '0');
    }
    return value;
}

long long SaleVolume(int pump) { return 10000 + 1111LL * pump; }  // thousandths
int SaleHose(int pump) { return 1 + (pump + 7) % 8; }
long long MoneyFor(long long volume, int price) { return (volume * price + 5000) / 10000; }

// snprintf into reply; 1 when it fit, -1 otherwise.
int Fitted(int n, int capacity) { return n > 0 && n < capacity ? 1 : -1; }

int StatusReply(const ControllerState& state, char* reply, int capacity) {
    if (capacity <= SIM_PUMPS) return -1;
    memcpy(reply, state.status, SIM_PUMPS);
    reply[SIM_PUMPS] = '\0';
    return 1;
}

int SelectReply(const ControllerState& state, char* reply, int capacity) {
    int busy = 0;
    for (int i = 0; i < SIM_PUMPS; ++i) busy += state.status[i] != 'I' ? 1 : 0;
    int n = snprintf(reply, static_cast<size_t>(capacity), "F1%02d", busy);
    if (Fitted(n, capacity) < 0) return -1;
    for (int i = 0; i < SIM_PUMPS; ++i) {
        if (state.status[i] == 'I') continue;
        int m = snprintf(reply + n, static_cast<size_t>(capacity - n), "%02d%c", i + 1, state.status[i]);
        if (Fitted(m, capacity - n) < 0) return -1;
        n += m;
    }
    return 1;
}

int ErrorsReply(const ControllerState& state, const char* head, char* reply, int capacity, int list) {
    int n = snprintf(reply, static_cast<size_t>(capacity), "%s%02d", head, SIM_ERRORS - state.errorFirst);
    if (Fitted(n, capacity) < 0) return -1;
    for (int i = state.errorFirst; list && i < SIM_ERRORS; ++i) {
        int m = snprintf(reply + n, static_cast<size_t>(capacity - n), "P%02dE%03d", ERROR_PUMP[i],
                         ERROR_CODE[i]);
        if (Fitted(m, capacity - n) < 0) return -1;
        n += m;
    }
    return 1;
}

void SetStatus(ControllerState& state, int pump, char from, char to) {
    for (int p = 1; p <= SIM_PUMPS; ++p) {
        if ((pump == 0 || pump == p) && state.status[p - 1] == from) state.status[p - 1] = to;
    }
}

int PumpCommand(ControllerState& state, const unsigned char* text, int length, int pump, char* reply,
                int capacity) {
    int n = 0;
    switch (text[0]) {
        case 'A':  // authorize, whatever the preset that follows
            if (pump >= 1 && pump <= SIM_PUMPS) state.status[pump - 1] = 'A';
            return 0;
        case 'C':
            if (length == 3) SetStatus(state, pump, 'A', 'S');
            return 0;
        case 'D':
            if (length == 3) SetStatus(state, pump, 'S', 'A');
            return 0;
        case 'B':
            if (TailIs(text, length, 3, "C")) {
                state.saleCleared[pump] = 1;
                return 0;
            }
            if (TailIs(text, length, 3, "R")) {
                long long volume = state.saleCleared[pump] ? 0 : SaleVolume(pump);
                n = snprintf(reply, static_cast<size_t>(capacity), "B%02dR%06lld%06lld", pump, volume,
                             MoneyFor(volume, SALE_PRICE));
                return Fitted(n, capacity);
            }
            if (TailIs(text, length, 3, "EHMS$VLPT")) {
                int present = state.saleCleared[pump] ? 0 : 1;
                long long volume = present ? SaleVolume(pump) : 0;
                n = snprintf(reply, static_cast<size_t>(capacity),
                             "B%02dEH%dM1S%d$%010lldV%010lldL%010dP%06dT%06d", pump, SaleHose(pump),
                             present, MoneyFor(volume, SALE_PRICE), volume, 0, SALE_PRICE, present);
                return Fitted(n, capacity);
            }
            return 0;
        case 'I':
            if (length == 4 && text[3] >= '1' && text[3] <= '8') {
                int hose = text[3] - '0';
                long long volume = 1000000LL * pump + 123456LL * hose;
                n = snprintf(reply, static_cast<size_t>(capacity), "I%02d%dV%012lld$%012lld", pump, hose,
                             volume, MoneyFor(volume, SALE_PRICE));
                return Fitted(n, capacity);
            }
            return 0;
        case 'J':
            if (length < 5 || text[3] < '1' || text[3] > '9') return 0;
            if (text[3] == '1' && length == 5 && text[4] == 'R') {
                n = snprintf(reply, static_cast<size_t>(capacity), "J%02d1%06d%06d", pump,
                             state.price[pump][1][0], state.price[pump][1][1]);
                return Fitted(n, capacity);
            }
            if (length == 17 && (text[4] == 'W' || text[4] == 'E' || text[4] == 'D')) {
                int cash = SixDigits(text, 5);
                int credit = SixDigits(text, 11);
                if (cash >= 0 && credit >= 0) {
                    state.price[pump][text[3] - '0'][0] = cash;
                    state.price[pump][text[3] - '0'][1] = credit;
                }
            }
            return 0;
        case 'X':
            if (TailIs(text, length, 3, "C")) state.keysCleared[pump] = 1;
            if (!TailIs(text, length, 3, "R")) return 0;
            n = snprintf(reply, static_cast<size_t>(capacity), "X%02dK%s", pump,
                         state.keysCleared[pump] ? "" : "1234E");
            return Fitted(n, capacity);
        case 'W':
            if (TailIs(text, length, 3, "C")) state.cardCleared[pump] = 1;
            if (!TailIs(text, length, 3, "R")) return 0;
            if (state.cardCleared[pump]) {
                n = snprintf(reply, static_cast<size_t>(capacity), "W%02dT", pump);
            } else {
                n = snprintf(reply, static_cast<size_t>(capacity), "W%02dT;99990000000000%02d=3012?", pump,
                             pump);
            }
            return Fitted(n, capacity);
        default:
            return 0;
    }
}

}  // namespace

void ParserReset(FrameParser& parser) {
    parser.state = PARSE_HUNT;
    parser.restart = 0;
    parser.length = 0;
    parser.sum = 0;
}

int ParserFeed(FrameParser& parser, unsigned char byte, int& verdict) {
    if (parser.restart) {
        parser.restart = 0;
        BeginFrame(parser);
    }
    switch (parser.state) {
        case PARSE_HUNT:
            if (byte == STX) BeginFrame(parser);
            return 0;
        case PARSE_TEXT:
            if (byte == ETX) {
                parser.sum += ETX;
                parser.state = PARSE_CHECKSUM;
                return 0;
            }
            if (parser.length == SIM_TEXT_MAX) {
                // Too long for any frame of the console: report it and look for the
                // next STX, which may be this very byte.
                parser.state = PARSE_HUNT;
                parser.restart = byte == STX ? 1 : 0;
                verdict = VERDICT_OVERFLOW;
                return 1;
            }
            parser.text[parser.length++] = byte;
            parser.sum += byte;
            return 0;
        default:
            parser.state = PARSE_HUNT;
            verdict = ReplyChecksumValid(parser.sum, byte) ? VERDICT_OK : VERDICT_BAD_CHECKSUM;
            return 1;
    }
}

void ControllerReset(ControllerState& state) {
    memset(&state, 0, sizeof state);
    for (int i = 0; i < SIM_PUMPS; ++i) state.status[i] = 'I';
    for (int p = 0; p < SIM_PUMP_NUMBERS; ++p) {
        for (int g = 1; g < SIM_GRADES; ++g) {
            state.price[p][g][0] = PRICE_START + 1000 * (g - 1);
            state.price[p][g][1] = PRICE_START + 1000 * (g - 1) - 100;
        }
    }
    state.errorFirst = 0;
}

int ControllerAnswer(ControllerState& state, const unsigned char* text, int length, char* reply,
                     int capacity) {
    if (capacity <= 0) return -1;
    reply[0] = '\0';
    if (length <= 0) return 0;
    int n = 0;
    if (Is(text, length, "K")) {
        n = snprintf(reply, static_cast<size_t>(capacity), "ZSIM 1.0");
        return Fitted(n, capacity);
    }
    if (Is(text, length, "KE")) {
        n = snprintf(reply, static_cast<size_t>(capacity), "ZSIM 1.0 LINK 1.0 PUMPS %d HOSES 8", SIM_PUMPS);
        return Fitted(n, capacity);
    }
    if (Is(text, length, "FE")) return StatusReply(state, reply, capacity);
    if (Is(text, length, "F1")) return SelectReply(state, reply, capacity);
    if (Is(text, length, "ES")) return ErrorsReply(state, "ES", reply, capacity, 1);
    if (Is(text, length, "EW")) {
        if (state.errorFirst < SIM_ERRORS) ++state.errorFirst;
        return ErrorsReply(state, "EW", reply, capacity, 0);
    }
    if (Is(text, length, "EC")) {
        state.errorFirst = SIM_ERRORS;
        return ErrorsReply(state, "EC", reply, capacity, 0);
    }
    if (Is(text, length, "G")) {
        SetStatus(state, 0, 'A', 'I');
        SetStatus(state, 0, 'S', 'I');
        return 0;
    }
    if (Is(text, length, "Y")) {
        if (capacity <= SIM_PUMPS + 1) return -1;
        reply[0] = 'Y';
        for (int i = 0; i < SIM_PUMPS; ++i) reply[1 + i] = i < READER_PUMPS ? 'R' : '-';
        reply[SIM_PUMPS + 1] = '\0';
        return 1;
    }
    int pump = PumpAt(text, length);
    if (pump < 0) return 0;
    return PumpCommand(state, text, length, pump, reply, capacity);
}

int LongReplyText(char* reply, int capacity) {
    if (capacity <= SIM_LONG_REPLY_BYTES) return -1;
    for (int i = 0; i < SIM_LONG_REPLY_BYTES; ++i) reply[i] = static_cast<char>('A' + i % 26);
    reply[SIM_LONG_REPLY_BYTES] = '\0';
    return 0;
}
