// The port table's contract: ids, result codes, the remembered handle, the
// transmit and receive rules; then the POSIX device over a real pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "port/device.h"
#include "port/device_path.h"
#include "port/port.h"
#include "tests/support/fake_device.h"
#include "tests/support/pty_peer.h"

using testsupport::FakeDevice;
using testsupport::PtyPeer;
using testsupport::TempHome;

namespace {

int Open(int id, int baud = 9600, int parity = 0, int dataBits = 8, int stop = 1) {
    PortParams params = {baud, parity, dataBits, stop};
    return PortRequest(id, PORT_OPEN, &params);
}

int Write(int id, const unsigned char* data, int length) {
    PortWriteArgs args = {data, length};
    return PortRequest(id, PORT_WRITE, &args);
}

int Read(int id, unsigned char& byte) {
    PortReadArgs args = {&byte};
    return PortRequest(id, PORT_READ_BYTE, &args);
}

int Resolve(int number, int& id) {
    PortResolveArgs args = {static_cast<unsigned char>(number), &id};
    return PortRequest(0, PORT_RESOLVE, &args);
}

}  // namespace

TEST(PortIds, ResolveMapsOneToNineAndRejectsTheRest) {
    int id = 0;
    EXPECT_EQ(Resolve(1, id), PORT_OK);
    EXPECT_EQ(id, 1001);
    EXPECT_EQ(Resolve(9, id), PORT_OK);
    EXPECT_EQ(id, 1009);
    EXPECT_EQ(Resolve(0, id), PORT_BAD_REQUEST);
    EXPECT_EQ(id, -1);
    id = 0;
    EXPECT_EQ(Resolve(10, id), PORT_BAD_REQUEST);
    EXPECT_EQ(id, -1);
}

TEST(PortIds, IdsOutsideTheTableTouchNothing) {
    FakeDevice fake;
    PortRequest(0, PORT_INIT, nullptr);
    unsigned char byte = 0;
    unsigned char data[4] = {1, 2, 3, 4};
    PortRtsArgs rts = {1};
    for (int id : {1000, 1010, -1, 0}) {
        EXPECT_EQ(Open(id), PORT_BAD_ID) << id;
        EXPECT_EQ(Write(id, data, 4), PORT_BAD_ID) << id;
        EXPECT_EQ(Read(id, byte), PORT_BAD_ID) << id;
        EXPECT_EQ(PortRequest(id, PORT_SET_RTS, &rts), PORT_BAD_ID) << id;
        EXPECT_EQ(PortRequest(id, PORT_FORGET, nullptr), PORT_BAD_ID) << id;
    }
    EXPECT_TRUE(fake.state().calls.empty());
    for (const PortRecord& r : PortTable) EXPECT_EQ(r.transmitLength, 0);
}

TEST(PortIds, OperationsAboveSixAreBadRequests) {
    EXPECT_EQ(PortRequest(1001, 7, nullptr), PORT_BAD_REQUEST);
    EXPECT_EQ(PortRequest(1001, 100, nullptr), PORT_BAD_REQUEST);
    EXPECT_EQ(PortRequest(1000, 7, nullptr), PORT_BAD_REQUEST);
    EXPECT_EQ(PortRequest(0, PORT_INIT, nullptr), PORT_OK);
}

TEST(PortOpen, AppliesLineSettingsThenRaisesDtrAndRts) {
    FakeDevice fake;
    PortRequest(0, PORT_INIT, nullptr);
    fake.state().openResultHandle = 0x51;
    EXPECT_EQ(Open(1003, 19200, 0, 8, 1), PORT_OK);
    std::vector<std::string> expected = {"open 3", "configure 81 19200 8 0 1", "dtr+rts 81"};
    EXPECT_EQ(fake.state().calls, expected);
    EXPECT_EQ(PortTable[2].handle, 0x51);

    // Parity 1 odd, 2 even, else none; 7 data bits only for 7; two stop bits only for 50.
    struct Case { int parity, bits, stop; const char* line; };
    const Case cases[] = {{1, 7, 50, "configure 81 2400 7 1 2"}, {2, 9, 2, "configure 81 2400 8 2 1"},
                          {3, 7, 1, "configure 81 2400 7 0 1"}};
    for (const Case& c : cases) {
        PortRequest(1003, PORT_FORGET, nullptr);
        fake.state().calls.clear();
        EXPECT_EQ(Open(1003, 2400, c.parity, c.bits, c.stop), PORT_OK);
        ASSERT_GE(fake.state().calls.size(), 3u);
        EXPECT_EQ(fake.state().calls[2], c.line);
    }
}

TEST(PortOpen, FailuresLeaveTheRightRecordState) {
    FakeDevice fake;
    PortRequest(0, PORT_INIT, nullptr);
    fake.state().openResultHandle = 0;
    EXPECT_EQ(Open(1001), PORT_OPEN_FAILED);
    EXPECT_EQ(PortTable[0].handle, 0);

    // A record with no device: writes fail, reads find nothing, the device is never asked.
    fake.state().calls.clear();
    unsigned char data[2] = {'h', 'i'};
    unsigned char byte = 0;
    fake.state().input.push_back('x');
    EXPECT_EQ(Write(1001, data, 2), PORT_IO_ERROR);
    EXPECT_EQ(Read(1001, byte), PORT_NO_DATA);
    EXPECT_TRUE(fake.state().calls.empty());

    fake.state().openResultHandle = 0x77;
    fake.state().configureResult = PORT_IO_ERROR;
    EXPECT_EQ(Open(1001), PORT_IO_ERROR);
    EXPECT_EQ(PortTable[0].handle, 0x77);  // the handle stays
}

TEST(PortOpen, EachOpenClosesThePreviouslyOpenedHandle) {
    FakeDevice fake;
    PortRequest(0, PORT_INIT, nullptr);
    fake.state().openResultHandle = 0x10;
    EXPECT_EQ(Open(1001), PORT_OK);
    PortRequest(1001, PORT_FORGET, nullptr);
    EXPECT_EQ(PortTable[0].handle, 0);
    fake.state().calls.clear();
    fake.state().openResultHandle = 0x20;
    EXPECT_EQ(Open(1002), PORT_OK);
    ASSERT_FALSE(fake.state().calls.empty());
    EXPECT_EQ(fake.state().calls[0], "close 16");  // forgotten, not closed, until now
}

TEST(PortOpen, ReopeningARecordWithoutForgettingGetsAFreshHandle) {
    FakeDevice fake;
    PortRequest(0, PORT_INIT, nullptr);
    fake.state().openResultHandle = 0x10;
    EXPECT_EQ(Open(1001), PORT_OK);
    fake.state().calls.clear();
    fake.state().openResultHandle = 0x11;
    EXPECT_EQ(Open(1001), PORT_OK);
    std::vector<std::string> expected = {"close 16", "open 1", "configure 17 9600 8 0 1", "dtr+rts 17"};
    EXPECT_EQ(fake.state().calls, expected);
    EXPECT_EQ(PortTable[0].handle, 0x11);
}

TEST(PortTransfer, WriteLimitsAndCopies) {
    FakeDevice fake;
    PortRequest(0, PORT_INIT, nullptr);
    ASSERT_EQ(Open(1001), PORT_OK);
    std::vector<unsigned char> block(50001, 'w');
    EXPECT_EQ(Write(1001, block.data(), 50001), PORT_TOO_LONG);
    EXPECT_EQ(fake.state().writeCalls, 0);
    EXPECT_EQ(Write(1001, block.data(), 50000), PORT_OK);
    EXPECT_EQ(fake.state().lastWriteLength, 50000);
    EXPECT_EQ(PortTable[0].transmitLength, 50000);
    EXPECT_EQ(Write(1001, block.data(), 0), PORT_OK);  // an empty write still reaches the device
    EXPECT_EQ(fake.state().writeCalls, 2);
    EXPECT_EQ(fake.state().lastWriteLength, 0);
    fake.state().writeResult = PORT_IO_ERROR;
    EXPECT_EQ(Write(1001, block.data(), 3), PORT_IO_ERROR);
}

TEST(PortTransfer, ReadsDeliverOneByteAndMaskSevenBitRecords) {
    FakeDevice fake;
    PortRequest(0, PORT_INIT, nullptr);
    unsigned char byte = 0;
    ASSERT_EQ(Open(1001, 9600, 0, 7, 1), PORT_OK);
    EXPECT_EQ(Read(1001, byte), PORT_NO_DATA);
    fake.state().input = {0xC1, 0xFF};
    EXPECT_EQ(Read(1001, byte), PORT_OK);
    EXPECT_EQ(byte, 0x41);
    EXPECT_EQ(Read(1001, byte), PORT_OK);
    EXPECT_EQ(byte, 0x7F);
    EXPECT_EQ(Read(1001, byte), PORT_NO_DATA);

    PortRequest(1001, PORT_FORGET, nullptr);
    ASSERT_EQ(Open(1001, 9600, 0, 8, 1), PORT_OK);
    fake.state().input = {0xC1};
    EXPECT_EQ(Read(1001, byte), PORT_OK);
    EXPECT_EQ(byte, 0xC1);
}

TEST(PortTransfer, RtsCodeOneDisablesOthersEnable) {
    FakeDevice fake;
    PortRequest(0, PORT_INIT, nullptr);
    fake.state().openResultHandle = 5;
    ASSERT_EQ(Open(1001), PORT_OK);
    fake.state().calls.clear();
    PortRtsArgs off = {1};
    PortRtsArgs on = {0};
    EXPECT_EQ(PortRequest(1001, PORT_SET_RTS, &off), PORT_OK);
    EXPECT_EQ(PortRequest(1001, PORT_SET_RTS, &on), PORT_OK);
    std::vector<std::string> expected = {"rts 5 0", "rts 5 1"};
    EXPECT_EQ(fake.state().calls, expected);
}

// ---- The POSIX device over a pseudo-terminal ----

TEST(PosixDevice, NamesFollowTheLinkFolderThenTtyS) {
    TempHome home;
    char path[DEVICE_PATH_BYTES];
    ASSERT_EQ(DevicePathFor(3, home.path().c_str(), path, sizeof path), 0);
    EXPECT_STREQ(path, "/dev/ttyS2");
    home.LinkCom(3, "/nonexistent/device");  // a dangling link is still the user's choice
    ASSERT_EQ(DevicePathFor(3, home.path().c_str(), path, sizeof path), 0);
    EXPECT_EQ(std::string(path), home.path() + "/.config/zantrox/com3");
    EXPECT_EQ(DevicePathFor(3, nullptr, path, sizeof path), 0);
    EXPECT_STREQ(path, "/dev/ttyS2");
    EXPECT_EQ(DevicePathFor(0, nullptr, path, sizeof path), -1);
    EXPECT_EQ(DevicePathFor(10, nullptr, path, sizeof path), -1);
    EXPECT_EQ(DevicePathFor(1, home.path().c_str(), path, 8), -1);
}

TEST(PosixDevice, MissingOrBusyDeviceFailsToOpen) {
    TempHome home;
    PortRequest(0, PORT_INIT, nullptr);
    home.LinkCom(4, "/nonexistent/device");
    EXPECT_EQ(Open(1004), PORT_OPEN_FAILED);
    EXPECT_EQ(PortTable[3].handle, 0);

    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    home.LinkCom(5, peer.slavePath());
    int holder = open(peer.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(Open(1005), PORT_OPEN_FAILED);  // in use by another console
    close(holder);
    EXPECT_EQ(Open(1005), PORT_OK);
    PortRequest(1005, PORT_FORGET, nullptr);
}

TEST(PosixDevice, RawModeCarriesEveryByteUnchanged) {
    TempHome home;
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    home.LinkCom(1, peer.slavePath());
    PortRequest(0, PORT_INIT, nullptr);
    ASSERT_EQ(Open(1001, 9600, 0, 8, 1), PORT_OK);

    termios tio;
    int fd = static_cast<int>(PortTable[0].handle - 1);
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);

    // Line feeds, carriage returns, XON/XOFF, ^C and DEL travel as data both ways.
    const unsigned char tricky[] = {0x02, 0x0A, 0x0D, 0x11, 0x13, 0x03, 0x7F, 0x1A, 0x04, 0x00, 0x80};
    EXPECT_EQ(Write(1001, tricky, sizeof tricky), PORT_OK);
    EXPECT_EQ(peer.ReadCount(sizeof tricky, 2000), testsupport::Bytes(tricky, tricky + sizeof tricky));
    peer.Write(testsupport::Bytes(tricky, tricky + sizeof tricky));
    std::vector<unsigned char> got;
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] {
            unsigned char b;
            while (Read(1001, b) == PORT_OK) got.push_back(b);
            return got.size() >= sizeof tricky;
        },
        2000));
    EXPECT_EQ(got, std::vector<unsigned char>(tricky, tricky + sizeof tricky));
    unsigned char b;
    EXPECT_EQ(Read(1001, b), PORT_NO_DATA);  // returns at once on an idle line
    PortRequest(1001, PORT_FORGET, nullptr);
}

TEST(PosixDevice, LargestWriteArrivesWhole) {
    TempHome home;
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    home.LinkCom(1, peer.slavePath());
    PortRequest(0, PORT_INIT, nullptr);
    ASSERT_EQ(Open(1001), PORT_OK);
    std::vector<unsigned char> block(50000);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 7);
    testsupport::Bytes received;
    std::thread reader([&] { received = peer.ReadCount(block.size(), 20000); });
    EXPECT_EQ(Write(1001, block.data(), 50000), PORT_OK);
    reader.join();
    EXPECT_EQ(received, block);
    PortRequest(1001, PORT_FORGET, nullptr);
}

TEST(PosixDevice, NoDeviceNeverTouchesStandardDescriptors) {
    // Standard input holds data; a record without a device must not consume it.
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    int savedStdin = dup(0);
    ASSERT_GE(savedStdin, 0);
    ASSERT_EQ(write(pipeFds[1], "Z", 1), 1);
    ASSERT_EQ(dup2(pipeFds[0], 0), 0);

    PortRequest(0, PORT_INIT, nullptr);
    unsigned char byte = 0;
    unsigned char data[1] = {'!'};
    int readResult = Read(1001, byte);
    int writeResult = Write(1001, data, 1);
    char left = 0;
    ssize_t n = read(0, &left, 1);

    dup2(savedStdin, 0);
    close(savedStdin);
    close(pipeFds[0]);
    close(pipeFds[1]);
    EXPECT_EQ(readResult, PORT_NO_DATA);
    EXPECT_EQ(writeResult, PORT_IO_ERROR);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(left, 'Z');
}

TEST(PosixDevice, TwoLinesOpenBesideEachOtherAndAreWaitedOnTogether) {
    TempHome home;
    PtyPeer host;
    PtyPeer ctrl;
    ASSERT_TRUE(host.ok() && ctrl.ok());
    home.LinkCom(1, host.slavePath());
    home.LinkCom(2, ctrl.slavePath());
    PortRequest(0, PORT_INIT, nullptr);
    PortParams params = {9600, 0, 8, 1};
    ASSERT_EQ(PortOpenBeside(1001, &params), PORT_OK);
    ASSERT_EQ(PortOpenBeside(1002, &params), PORT_OK);
    EXPECT_NE(PortTable[0].handle, PortTable[1].handle);

    const int ids[2] = {1001, 1002};
    int ready[2] = {7, 7};
    EXPECT_EQ(PortWaitReadable(ids, 2, 0, ready), 0);
    EXPECT_EQ(ready[0], 0);
    EXPECT_EQ(ready[1], 0);

    // A byte on the second line wakes the wait, which names that line only.
    std::thread writer([&] { ctrl.Write(std::string("\x06")); });
    EXPECT_EQ(PortWaitReadable(ids, 2, 5000, ready), 1);
    writer.join();
    EXPECT_EQ(ready[0], 0);
    EXPECT_EQ(ready[1], 1);
    unsigned char b = 0;
    ASSERT_EQ(Read(1002, b), PORT_OK);
    EXPECT_EQ(b, 0x06);

    // A PORT_OPEN elsewhere does not close either, and closing one leaves the other.
    PtyPeer third;
    home.LinkCom(3, third.slavePath());
    ASSERT_EQ(Open(1003), PORT_OK);
    PortRequest(1003, PORT_FORGET, nullptr);
    ASSERT_EQ(Open(1004), PORT_OPEN_FAILED);  // closes the one PORT_OPEN kept
    PortClose(1001);
    EXPECT_EQ(PortTable[0].handle, 0);
    host.Write(std::string("x"));
    EXPECT_EQ(PortWaitReadable(ids, 2, 0, ready), 0);  // a closed port is never ready
    ctrl.Write(std::string("y"));
    EXPECT_EQ(PortWaitReadable(ids, 2, 5000, ready), 1);
    EXPECT_EQ(ready[1], 1);
    ASSERT_EQ(Read(1002, b), PORT_OK);
    EXPECT_EQ(b, 'y');
    PortClose(1002);
}

TEST(PosixDevice, WaitingOnLinesEndsAtItsTimeOut) {
    TempHome home;
    PtyPeer host;
    ASSERT_TRUE(host.ok());
    home.LinkCom(1, host.slavePath());
    PortRequest(0, PORT_INIT, nullptr);
    PortParams params = {9600, 0, 8, 1};
    ASSERT_EQ(PortOpenBeside(1001, &params), PORT_OK);
    const int ids[2] = {1001, 1002};  // the second has no device
    int ready[2];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(PortWaitReadable(ids, 2, 50, ready), 0);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    // The wait is the behaviour here: it sleeps out its time, loosely bounded.
    EXPECT_GE(ms, 45);
    EXPECT_LT(ms, 150 * 3);
    PortClose(1001);
}
