#include "sim/line.h"

#include "link/frame.h"

namespace {

struct Rate {
    int baud;
    speed_t speed;
};

const Rate RATES[] = {
    {300, B300},     {600, B600},     {1200, B1200},   {2400, B2400},   {4800, B4800},
    {9600, B9600},   {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};

}  // namespace

int BaudOfSpeed(speed_t speed) {
    for (const Rate& r : RATES) {
        if (r.speed == speed) return r.baud;
    }
    return 0;
}

speed_t SpeedOfBaud(int baud) {
    for (const Rate& r : RATES) {
        if (r.baud == baud) return r.speed;
    }
    return B0;
}

long long ByteMicros(int baud) {
    if (baud <= 0) return 0;
    return (LINE_BITS_PER_BYTE * 1000000LL + baud / 2) / baud;
}

unsigned char HeardByte(unsigned char byte, int senderBaud, int receiverBaud) {
    if (senderBaud == receiverBaud || senderBaud <= 0 || receiverBaud <= 0) return byte;
    // The level of the sender's line at a time given in sender bit-times: start
    // bit, data bits LSB first, stop bit, then idle (high).
    auto level = [&](long long senderBitsX2) {
        long long bit = senderBitsX2 / 2;
        if (bit == 0) return 0;
        if (bit >= 1 && bit <= 8) return (byte >> (bit - 1)) & 1;
        return 1;
    };
    // Receiver bit k is sampled at (k + 0.5) of its bit-times; in sender bit-times
    // that is (2k + 1) * sender / (2 * receiver); kept doubled to stay in integers.
    auto sample = [&](int k) {
        long long x2 = (2LL * k + 1) * senderBaud / receiverBaud;
        return level(x2);
    };
    unsigned value = 0;
    for (int k = 1; k <= 8; ++k) value |= static_cast<unsigned>(sample(k)) << (k - 1);
    if (sample(9) == 0) value = 0;  // framing error
    if (value == STX || value == ETX || value == ACK) value = 0;
    return static_cast<unsigned char>(value);
}
