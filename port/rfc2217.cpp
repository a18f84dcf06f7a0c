#include "port/rfc2217.h"

#include <cstring>

namespace {

enum Parse {
    PARSE_DATA = 0,
    PARSE_IAC = 1,     // after IAC
    PARSE_OPTION = 2,  // after IAC WILL/WONT/DO/DONT
    PARSE_SB = 3,      // inside IAC SB ... IAC SE
    PARSE_SB_IAC = 4,  // IAC inside a subnegotiation
};

enum OptionState { OPTION_NO = 0, OPTION_ASKED = 1, OPTION_YES = 2 };

// The slot of an option we take part in, or -1.
int OptionSlot(int option, bool ours) {
    if (option == TELNET_BINARY) return 0;
    if (option == TELNET_SGA) return 1;
    if (option == TELNET_COM_PORT && ours) return 2;
    return -1;
}

void Put(Rfc2217& c, const unsigned char* bytes, int n) {
    if (c.outLength + n > RFC2217_OUT_BYTES) {
        c.dropped += n;
        return;
    }
    std::memcpy(c.out + c.outLength, bytes, static_cast<size_t>(n));
    c.outLength += n;
}

void PutCommand(Rfc2217& c, int verb, int option) {
    const unsigned char bytes[3] = {TELNET_IAC, static_cast<unsigned char>(verb), static_cast<unsigned char>(option)};
    Put(c, bytes, 3);
}

// IAC SB COM-PORT-OPTION command value... IAC SE, with 0xFF in the value doubled.
void PutComPort(Rfc2217& c, int command, const unsigned char* value, int n) {
    unsigned char bytes[4 + 2 * 4 + 2];
    int k = 0;
    bytes[k++] = TELNET_IAC;
    bytes[k++] = TELNET_SB;
    bytes[k++] = TELNET_COM_PORT;
    bytes[k++] = static_cast<unsigned char>(command);
    for (int i = 0; i < n && i < 4; ++i) {
        bytes[k++] = value[i];
        if (value[i] == TELNET_IAC) bytes[k++] = TELNET_IAC;
    }
    bytes[k++] = TELNET_IAC;
    bytes[k++] = TELNET_SE;
    Put(c, bytes, k);
}

void PutComPortByte(Rfc2217& c, int command, int value) {
    unsigned char byte = static_cast<unsigned char>(value);
    PutComPort(c, command, &byte, 1);
}

// The server asks us to (DO) or not to (DONT) use an option on our side. Only
// changes are answered, so two agreeing sides never loop.
void TheyAskOurs(Rfc2217& c, int option, bool enable) {
    int slot = OptionSlot(option, true);
    if (slot < 0) {
        if (enable) PutCommand(c, TELNET_WONT, option);
        return;
    }
    unsigned char& state = c.ours[slot];
    if (enable) {
        if (state == OPTION_NO) PutCommand(c, TELNET_WILL, option);
        state = OPTION_YES;
    } else {
        if (state == OPTION_YES) PutCommand(c, TELNET_WONT, option);
        state = OPTION_NO;
    }
    if (option == TELNET_COM_PORT) c.comPort = enable ? COM_PORT_ACCEPTED : COM_PORT_REFUSED;
}

// The server offers (WILL) or withdraws (WONT) an option on its side.
void TheyOfferTheirs(Rfc2217& c, int option, bool enable) {
    int slot = OptionSlot(option, false);
    if (slot < 0) {
        if (enable) PutCommand(c, TELNET_DONT, option);  // ECHO and the rest: no
        return;
    }
    unsigned char& state = c.theirs[slot];
    if (enable) {
        if (state == OPTION_NO) PutCommand(c, TELNET_DO, option);
        state = OPTION_YES;
    } else {
        if (state == OPTION_YES) PutCommand(c, TELNET_DONT, option);
        state = OPTION_NO;
    }
}

void Negotiate(Rfc2217& c, int verb, int option) {
    switch (verb) {
        case TELNET_DO: TheyAskOurs(c, option, true); break;
        case TELNET_DONT: TheyAskOurs(c, option, false); break;
        case TELNET_WILL: TheyOfferTheirs(c, option, true); break;
        default: TheyOfferTheirs(c, option, false); break;  // WONT
    }
}

// A whole subnegotiation has arrived. Only COM-PORT-OPTION answers and
// notifications mean anything; the rest are passed over.
void Subnegotiation(Rfc2217& c) {
    if (c.sbLength < 2 || c.sb[0] != TELNET_COM_PORT) return;
    int command = c.sb[1];
    const unsigned char* value = c.sb + 2;
    int n = c.sbLength - 2;
    if (command > COM_SERVER_OFFSET) command -= COM_SERVER_OFFSET;
    switch (command) {
        case COM_SET_BAUDRATE:
            if (n >= 4) {
                c.baudAnswer = (static_cast<long>(value[0]) << 24) | (static_cast<long>(value[1]) << 16) |
                               (static_cast<long>(value[2]) << 8) | static_cast<long>(value[3]);
            }
            break;
        case COM_NOTIFY_LINESTATE:
            if (n >= 1) c.lineState = value[0];
            break;
        case COM_NOTIFY_MODEMSTATE:
            if (n >= 1) c.modemState = value[0];
            break;
        case COM_FLOWCONTROL_SUSPEND: c.suspended = 1; break;
        case COM_FLOWCONTROL_RESUME: c.suspended = 0; break;
        default: break;
    }
}

void SbAppend(Rfc2217& c, unsigned char byte) {
    if (c.sbLength < RFC2217_SB_BYTES) c.sb[c.sbLength++] = byte;
}

// The byte after IAC, outside or (when a subnegotiation was left without SE)
// right after one.
int AfterIac(Rfc2217& c, unsigned char byte, unsigned char* data) {
    if (byte == TELNET_IAC) {
        c.parse = PARSE_DATA;
        *data = TELNET_IAC;
        return 1;
    }
    if (byte >= TELNET_WILL && byte <= TELNET_DONT) {
        c.verb = byte;
        c.parse = PARSE_OPTION;
    } else if (byte == TELNET_SB) {
        c.sbLength = 0;
        c.parse = PARSE_SB;
    } else {
        c.parse = PARSE_DATA;  // NOP, GA, DM, BRK, AYT, a stray SE...: nothing to do
    }
    return 0;
}

}  // namespace

void Rfc2217Start(Rfc2217& c) {
    std::memset(&c, 0, sizeof c);
    c.parse = PARSE_DATA;
    c.comPort = COM_PORT_PENDING;
    c.baudAnswer = -1;
    c.lineState = -1;
    c.modemState = -1;
    PutCommand(c, TELNET_WILL, TELNET_BINARY);
    PutCommand(c, TELNET_DO, TELNET_BINARY);
    PutCommand(c, TELNET_WILL, TELNET_SGA);
    PutCommand(c, TELNET_DO, TELNET_SGA);
    PutCommand(c, TELNET_WILL, TELNET_COM_PORT);
    for (int slot = 0; slot < RFC2217_OPTIONS; ++slot) {
        c.ours[slot] = OPTION_ASKED;
        c.theirs[slot] = slot < 2 ? OPTION_ASKED : OPTION_NO;
    }
}

int Rfc2217Input(Rfc2217& c, unsigned char byte, unsigned char* data) {
    switch (c.parse) {
        case PARSE_DATA:
            if (byte == TELNET_IAC) {
                c.parse = PARSE_IAC;
                return 0;
            }
            *data = byte;
            return 1;
        case PARSE_IAC: return AfterIac(c, byte, data);
        case PARSE_OPTION:
            c.parse = PARSE_DATA;
            Negotiate(c, c.verb, byte);
            return 0;
        case PARSE_SB:
            if (byte == TELNET_IAC) c.parse = PARSE_SB_IAC;
            else SbAppend(c, byte);
            return 0;
        default:  // PARSE_SB_IAC
            if (byte == TELNET_IAC) {
                SbAppend(c, byte);
                c.parse = PARSE_SB;
                return 0;
            }
            Subnegotiation(c);
            if (byte == TELNET_SE) {
                c.parse = PARSE_DATA;
                return 0;
            }
            // IAC and a command inside a subnegotiation ends it; the command counts.
            return AfterIac(c, byte, data);
    }
}

void Rfc2217QueueLine(Rfc2217& c, const LineSettings& line) {
    unsigned long rate = static_cast<unsigned long>(line.baudRate);
    const unsigned char baud[4] = {static_cast<unsigned char>(rate >> 24), static_cast<unsigned char>(rate >> 16),
                                   static_cast<unsigned char>(rate >> 8), static_cast<unsigned char>(rate)};
    PutComPort(c, COM_SET_BAUDRATE, baud, 4);
    PutComPortByte(c, COM_SET_DATASIZE, line.dataBits == 7 ? 7 : 8);
    PutComPortByte(c, COM_SET_PARITY, line.parity == 1 ? 2 : line.parity == 2 ? 3 : 1);  // odd 2, even 3, none 1
    PutComPortByte(c, COM_SET_STOPSIZE, line.stopBits == 2 ? 2 : 1);
    PutComPortByte(c, COM_SET_CONTROL, COM_CONTROL_NO_FLOW_OUT);
    PutComPortByte(c, COM_SET_CONTROL, COM_CONTROL_NO_FLOW_IN);
}

void Rfc2217QueueBaudQuery(Rfc2217& c) {
    const unsigned char zero[4] = {0, 0, 0, 0};
    PutComPort(c, COM_SET_BAUDRATE, zero, 4);
}

void Rfc2217QueueControl(Rfc2217& c, int value) { PutComPortByte(c, COM_SET_CONTROL, value); }

void Rfc2217Sent(Rfc2217& c, int count) {
    if (count <= 0) return;
    if (count >= c.outLength) {
        c.outLength = 0;
        return;
    }
    std::memmove(c.out, c.out + count, static_cast<size_t>(c.outLength - count));
    c.outLength -= count;
}

int Rfc2217Escape(const unsigned char* in, int length, unsigned char* out, int size, int* used) {
    int i = 0;
    int k = 0;
    for (; i < length; ++i) {
        int need = in[i] == TELNET_IAC ? 2 : 1;
        if (k + need > size) break;
        out[k++] = in[i];
        if (need == 2) out[k++] = TELNET_IAC;
    }
    *used = i;
    return k;
}
