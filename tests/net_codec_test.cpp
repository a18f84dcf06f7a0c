// Network port names and the Telnet / serial port control codec, byte by byte.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "port/net_url.h"
#include "port/rfc2217.h"

namespace {

typedef std::vector<unsigned char> Bytes;

const unsigned char IAC = TELNET_IAC, WILL = TELNET_WILL, WONT = TELNET_WONT, DO = TELNET_DO, DONT = TELNET_DONT,
                    SB = TELNET_SB, SE = TELNET_SE, CPO = TELNET_COM_PORT;

// Feeds `in` to the codec; returns the data bytes it handed back.
Bytes Feed(Rfc2217& codec, const Bytes& in) {
    Bytes data;
    for (unsigned char b : in) {
        unsigned char d = 0;
        if (Rfc2217Input(codec, b, &d) == 1) data.push_back(d);
    }
    return data;
}

Bytes Out(const Rfc2217& codec) { return Bytes(codec.out, codec.out + codec.outLength); }

// A codec past its offers, with nothing queued.
Rfc2217 Started() {
    Rfc2217 codec;
    Rfc2217Start(codec);
    Rfc2217Sent(codec, codec.outLength);
    return codec;
}

TEST(NetUrl, AcceptsNamesAddressesAndBracketedIpv6) {
    struct Case {
        const char* text;
        int scheme;
        const char* host;
        int port;
    } cases[] = {
        {"rfc2217://127.0.0.1:4001", NET_SCHEME_RFC2217, "127.0.0.1", 4001},
        {"socket://ser-box.site_3.example:1", NET_SCHEME_RAW, "ser-box.site_3.example", 1},
        {"RFC2217://[::1]:65535", NET_SCHEME_RFC2217, "::1", 65535},
        {"socket://[fe80::1:2]:7000", NET_SCHEME_RAW, "fe80::1:2", 7000},
    };
    for (const Case& c : cases) {
        NetAddress a;
        ASSERT_EQ(NetParseUrl(c.text, &a), NET_URL_OK) << c.text;
        EXPECT_EQ(a.scheme, c.scheme) << c.text;
        EXPECT_STREQ(a.host, c.host) << c.text;
        EXPECT_EQ(a.port, c.port) << c.text;
    }
}

TEST(NetUrl, RefusesMalformedNamesAndLeavesDevicePathsAlone) {
    struct Case {
        const char* text;
        int result;
    } cases[] = {
        {"rfc2217://host", NET_URL_NO_PORT},      {"rfc2217://host:", NET_URL_NO_PORT},
        {"socket://:4000", NET_URL_NO_HOST},      {"rfc2217://", NET_URL_NO_HOST},
        {"rfc2217://[]:4000", NET_URL_NO_HOST},   {"socket://h:0", NET_URL_BAD_PORT},
        {"socket://h:65536", NET_URL_BAD_PORT},   {"socket://h:99999999999", NET_URL_BAD_PORT},
        {"socket://h:40a", NET_URL_BAD_PORT},     {"socket://h:-1", NET_URL_BAD_PORT},
        {"rfc2217://[::1:4000", NET_URL_BAD_HOST}, {"rfc2217://[::1]4000", NET_URL_BAD_HOST},
        {"rfc2217://a b:4000", NET_URL_BAD_HOST}, {"rfc2217://h/x:4000", NET_URL_BAD_HOST},
        {"/dev/ttyUSB0", NET_URL_NOT_URL},        {"COM3", NET_URL_NOT_URL},
        {"telnet://h:23", NET_URL_NOT_URL},       {"", NET_URL_NOT_URL},
    };
    for (const Case& c : cases) {
        NetAddress a;
        EXPECT_EQ(NetParseUrl(c.text, &a), c.result) << c.text;
        if (c.result < 0) {
            EXPECT_STRNE(NetUrlProblem(c.result), "") << c.text;
        }
    }
    std::string longHost = "rfc2217://" + std::string(NET_HOST_BYTES, 'a') + ":4000";
    NetAddress a;
    EXPECT_EQ(NetParseUrl(longHost.c_str(), &a), NET_URL_BAD_HOST);
}

TEST(Rfc2217Codec, OffersBinarySgaAndComPortOption) {
    Rfc2217 codec;
    Rfc2217Start(codec);
    EXPECT_EQ(Out(codec), (Bytes{IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, WILL, CPO}));
    EXPECT_EQ(codec.comPort, COM_PORT_PENDING);
}

// ser2net's greeting: agreeing to what we asked is not answered again, ECHO is
// refused once, and nothing reaches the line.
TEST(Rfc2217Codec, AnswersOnlyChangesSoNegotiationEnds) {
    Rfc2217 codec = Started();
    Bytes greeting = {IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 1, IAC, DONT, 1,
                      IAC, DO, 0, IAC, WILL, 0, IAC, DO, CPO};
    EXPECT_TRUE(Feed(codec, greeting).empty());
    EXPECT_EQ(Out(codec), (Bytes{IAC, DONT, 1}));
    EXPECT_EQ(codec.comPort, COM_PORT_ACCEPTED);

    // The same again (a server repeating itself) gets no answer but the refusal.
    Rfc2217Sent(codec, codec.outLength);
    Feed(codec, greeting);
    EXPECT_EQ(Out(codec), (Bytes{IAC, DONT, 1}));

    // Options we do not take part in are refused; withdrawals of ours are confirmed.
    Rfc2217Sent(codec, codec.outLength);
    Feed(codec, {IAC, DO, 24, IAC, WILL, 31, IAC, WONT, 0, IAC, DONT, 3, IAC, DONT, 99});
    EXPECT_EQ(Out(codec), (Bytes{IAC, WONT, 24, IAC, DONT, 31, IAC, DONT, 0, IAC, WONT, 3}));
}

TEST(Rfc2217Codec, ServerRefusingComPortOptionIsSeen) {
    Rfc2217 codec = Started();
    Feed(codec, {IAC, DONT, CPO});
    EXPECT_EQ(codec.comPort, COM_PORT_REFUSED);
    EXPECT_EQ(codec.outLength, 0);  // it was only asked for, so nothing to withdraw
}

// Commands, notifications and doubled 0xFF in the middle of line data leave the
// data exactly as the controller sent it.
TEST(Rfc2217Codec, DataSurvivesEverythingTheServerInterleaves) {
    Rfc2217 codec = Started();
    Bytes in = {0x06, 0x02, IAC, IAC, 'A',
                IAC, SB, CPO, 106, 0x60, IAC, SE,          // NOTIFY-LINESTATE
                'B', IAC, SB, CPO, 107, 0xB0, IAC, SE,     // NOTIFY-MODEMSTATE
                IAC, 241, 'C',                             // NOP
                IAC, SB, CPO, 108, IAC, SE, 0x03,          // FLOWCONTROL-SUSPEND
                IAC, SB, 24, 1, 2, 3, IAC, SE, 0x7F};      // another option's subnegotiation
    EXPECT_EQ(Feed(codec, in), (Bytes{0x06, 0x02, 0xFF, 'A', 'B', 'C', 0x03, 0x7F}));
    EXPECT_EQ(codec.lineState, 0x60);
    EXPECT_EQ(codec.modemState, 0xB0);
    EXPECT_EQ(codec.suspended, 1);
    Feed(codec, {IAC, SB, CPO, 109, IAC, SE});
    EXPECT_EQ(codec.suspended, 0);
    EXPECT_EQ(codec.outLength, 0);
}

TEST(Rfc2217Codec, BaudAnswerWithDoubledIacAndOverlongSubnegotiation) {
    Rfc2217 codec = Started();
    // 65535 baud is 00 00 FF FF: each FF doubled inside the subnegotiation.
    Feed(codec, {IAC, SB, CPO, 101, 0, 0, IAC, IAC, IAC, IAC, IAC, SE});
    EXPECT_EQ(codec.baudAnswer, 65535);

    // A subnegotiation longer than the buffer is cut, and the stream goes on.
    Bytes longSb = {IAC, SB, CPO, 101, 0, 0, 0x25, 0x80};
    for (int i = 0; i < 3 * RFC2217_SB_BYTES; ++i) longSb.push_back('x');
    longSb.insert(longSb.end(), {IAC, SE, 'k'});
    EXPECT_EQ(Feed(codec, longSb), (Bytes{'k'}));
    EXPECT_EQ(codec.baudAnswer, 9600);

    // IAC and a command other than SE ends a subnegotiation; the command counts.
    Feed(codec, {IAC, SB, CPO, 106, 0x11, IAC, DO, 24, 'z'});
    EXPECT_EQ(codec.lineState, 0x11);
    EXPECT_EQ(Out(codec), (Bytes{IAC, WONT, 24}));
}

TEST(Rfc2217Codec, LineSettingsAndModemLinesAsAServerReadsThem) {
    Rfc2217 codec = Started();
    Rfc2217QueueLine(codec, LineSettings{9600, 8, 0, 1});
    Rfc2217QueueControl(codec, COM_CONTROL_DTR_ON);
    Rfc2217QueueControl(codec, COM_CONTROL_RTS_ON);
    EXPECT_EQ(Out(codec), (Bytes{IAC, SB, CPO, 1, 0, 0, 0x25, 0x80, IAC, SE,  // 9600
                                 IAC, SB, CPO, 2, 8, IAC, SE,                 // 8 data bits
                                 IAC, SB, CPO, 3, 1, IAC, SE,                 // no parity
                                 IAC, SB, CPO, 4, 1, IAC, SE,                 // 1 stop bit
                                 IAC, SB, CPO, 5, 1, IAC, SE,                 // no flow control out
                                 IAC, SB, CPO, 5, 14, IAC, SE,                // nor in
                                 IAC, SB, CPO, 5, 8, IAC, SE,                 // DTR on
                                 IAC, SB, CPO, 5, 11, IAC, SE}));             // RTS on

    Rfc2217Sent(codec, codec.outLength);
    Rfc2217QueueLine(codec, LineSettings{0x00FF00FF, 7, 2, 2});
    Bytes seven = Out(codec);
    EXPECT_EQ(Bytes(seven.begin(), seven.begin() + 12), (Bytes{IAC, SB, CPO, 1, 0, IAC, IAC, 0, IAC, IAC, IAC, SE}));
    EXPECT_EQ(Bytes(seven.begin() + 12, seven.begin() + 33),
              (Bytes{IAC, SB, CPO, 2, 7, IAC, SE, IAC, SB, CPO, 3, 3, IAC, SE, IAC, SB, CPO, 4, 2, IAC, SE}));

    // Sent bytes leave the front of the queue.
    Rfc2217Sent(codec, 12);
    EXPECT_EQ(codec.out[3], 2);
}

TEST(Rfc2217Codec, EscapedDataComesBackUnchangedAndEscapeStopsAtTheEdge) {
    std::mt19937 random(16);
    for (int round = 0; round < 200; ++round) {
        Bytes data(1 + random() % 300);
        for (unsigned char& b : data) b = random() % 4 == 0 ? 0xFF : static_cast<unsigned char>(random());
        Bytes wire(2 * data.size());
        int used = 0;
        int n = Rfc2217Escape(data.data(), static_cast<int>(data.size()), wire.data(), static_cast<int>(wire.size()),
                              &used);
        ASSERT_EQ(used, static_cast<int>(data.size()));
        wire.resize(static_cast<size_t>(n));
        Rfc2217 codec = Started();
        ASSERT_EQ(Feed(codec, wire), data);
    }
    const unsigned char in[] = {'a', 0xFF, 'b'};
    unsigned char out[2];
    int used = 0;
    EXPECT_EQ(Rfc2217Escape(in, 3, out, 2, &used), 1);  // the doubled FF does not fit: not cut in half
    EXPECT_EQ(used, 1);
}

TEST(Rfc2217Codec, FloodOfRequestsIsBoundedByItsBuffer) {
    Rfc2217 codec = Started();
    Bytes flood;
    for (int i = 0; i < 400; ++i) {
        for (unsigned char b : {IAC, DO, static_cast<unsigned char>(100 + i % 50)}) flood.push_back(b);
    }
    Feed(codec, flood);
    EXPECT_LE(codec.outLength, RFC2217_OUT_BYTES);
    EXPECT_GT(codec.dropped, 0);
}

}  // namespace
