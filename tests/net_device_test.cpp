// The network device through the port table, against Debian's ser2net on
// loopback serving an in-test terminal: every byte value both ways, the line
// settings reaching the terminal, a server that goes away, and the 3 s bound.
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "port/device.h"
#include "port/port.h"
#include "tests/support/pty_peer.h"
#include "tests/support/ser2net_process.h"

namespace {

using testsupport::Bytes;
using testsupport::PtyPeer;
using testsupport::Ser2net;
using testsupport::WaitUntil;

int OpenUrl(const std::string& url, int baud) {
    PortRequest(0, PORT_INIT, nullptr);
    if (PortSetDeviceName(1, url.c_str()) != 0) return PORT_BAD_REQUEST;
    PortParams params = {baud, 0, 8, 0};
    return PortRequest(1001, PORT_OPEN, &params);
}

Bytes ReadPort(size_t count, int totalMs) {
    Bytes got;
    WaitUntil(
        [&] {
            unsigned char byte = 0;
            PortReadArgs args = {&byte};
            while (got.size() < count && PortRequest(1001, PORT_READ_BYTE, &args) == PORT_OK) got.push_back(byte);
            return got.size() >= count;
        },
        totalMs);
    return got;
}

void Forget() {
    PortRequest(1001, PORT_FORGET, nullptr);
    PortSetDeviceName(1, nullptr);
}

class NetDevice : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.ok());
        ASSERT_TRUE(server.up()) << "ser2net did not start (is it installed?)";
    }
    void TearDown() override { Forget(); }

    PtyPeer peer;
    Ser2net server{peer.slavePath()};
};

// 0..255 with 0xFF twice in a row, the Telnet escape's worst case.
Bytes EveryByte() {
    Bytes bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<unsigned char>(i));
    bytes.push_back(0xFF);
    bytes.push_back(0xFF);
    bytes.push_back(0x00);
    return bytes;
}

TEST_F(NetDevice, EveryByteValueBothWaysOverRfc2217AndRawTcp) {
    // Raw TCP first: ser2net lets go of its terminal a moment after a connection
    // ends, and only an RFC 2217 open can tell (the server hangs up); it is tried
    // again until the terminal is free.
    for (bool telnet : {false, true}) {
        SCOPED_TRACE(server.Url(telnet));
        int opened = PORT_OPEN_FAILED;
        WaitUntil([&] { return (opened = OpenUrl(server.Url(telnet), 9600)) == PORT_OK; }, 5000);
        ASSERT_EQ(opened, PORT_OK) << PortLastOpenError();
        Bytes all = EveryByte();
        PortWriteArgs write = {all.data(), static_cast<int>(all.size())};
        ASSERT_EQ(PortRequest(1001, PORT_WRITE, &write), PORT_OK);
        EXPECT_EQ(peer.ReadCount(all.size()), all);
        peer.Write(all);
        EXPECT_EQ(ReadPort(all.size(), 5000), all);
        Forget();
    }
}

// The rate reaches the server's terminal, as a local open sets it.
TEST_F(NetDevice, BaudRateReachesTheTerminalOverRfc2217) {
    auto rate = [this] {
        termios tio;
        return tcgetattr(peer.master(), &tio) == 0 ? cfgetospeed(&tio) : B0;
    };
    ASSERT_EQ(OpenUrl(server.Url(true), 19200), PORT_OK);
    EXPECT_TRUE(WaitUntil([&] { return rate() == B19200; }, 5000));
}

// Lost even with unread bytes from the server still waiting (nothing read here).
TEST_F(NetDevice, ServerGoingAwayIsALostDeviceAndReadsDoNotBlock) {
    ASSERT_EQ(OpenUrl(server.Url(true), 9600), PORT_OK);
    EXPECT_EQ(PortDeviceLost(1001), 0);
    server.Stop();
    EXPECT_TRUE(WaitUntil([] { return PortDeviceLost(1001) == 1; }, 5000));
    unsigned char byte = 0;
    PortReadArgs args = {&byte};
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) EXPECT_EQ(PortRequest(1001, PORT_READ_BYTE, &args), PORT_NO_DATA);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// A wait on a network port sleeps until a data byte comes (what the server says
// about the line is not data) and ends at once when the server goes away.
TEST_F(NetDevice, AWaitSleepsUntilADataByteAndEndsWhenTheServerGoes) {
    ASSERT_EQ(OpenUrl(server.Url(true), 9600), PORT_OK);
    const int id = 1001;
    int ready = -1;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(PortWaitReadable(&id, 1, 300, &ready), 0);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(ready, 0);
    EXPECT_GE(took, std::chrono::milliseconds(290));
    EXPECT_LT(took, std::chrono::milliseconds(900));

    peer.Write(std::string("A"));
    EXPECT_EQ(PortWaitReadable(&id, 1, 5000, &ready), 1);
    EXPECT_EQ(ready, 1);
    EXPECT_EQ(ReadPort(1, 1000), Bytes{'A'});

    server.Stop();
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(PortWaitReadable(&id, 1, 5000, &ready), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(PortDeviceLost(id), 1);
}

// A listener whose accept queue is full takes no more connections: a connect to
// it hangs, as to an address that does not answer. A listener that accepts and
// says nothing is not an RFC 2217 server. Both give up at the 3 s bound.
TEST(NetDeviceBound, SilentPeersGiveUpAtTheBoundWithTheReason) {
    int port = 0;
    int listener = testsupport::ListenOnLoopback(0, &port);
    ASSERT_GE(listener, 0);
    std::string url = "rfc2217://127.0.0.1:" + std::to_string(port);

    // The first connection is queued and never accepted: nothing speaks on it.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(OpenUrl(url, 9600), PORT_OPEN_FAILED);
    EXPECT_EQ(PortLastOpenError(), OPEN_ERROR_NET_NOT_RFC2217);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(2900));
    EXPECT_LT(took, std::chrono::milliseconds(9000));

    // That connection, closed by us, still fills the queue.
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(OpenUrl(url, 9600), PORT_OPEN_FAILED);
    EXPECT_EQ(PortLastOpenError(), OPEN_ERROR_NET_TIMED_OUT);
    took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(2900));
    EXPECT_LT(took, std::chrono::milliseconds(9000));
    close(listener);
    Forget();
}

}  // namespace
