// Opening the port for the command line, one transaction as a result, Ctrl+C and
// the clocks.
#include "cli/cli.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>

#include "cli/ports.h"
#include "commands/settings.h"
#include "os/threading.h"
#include "link/transaction.h"
#include "port/net_url.h"
#include "port/port.h"

#ifndef _WIN32
#include <climits>
#include <unistd.h>

#include "port/device_path.h"
#endif

namespace {

extern "C" void OnInterrupt(int) {
    // The engine's stop flag: lock-free, so safe here. The transaction in flight
    // ends at its next poll of the port, and the command then ends.
    stopTransactions.store(1);
    // A second Ctrl+C ends the program at once, a last resort.
    std::signal(SIGINT, SIG_DFL);
}

// "COM3" (any case) -> 3; -1 when the text is not COM and a number.
int ComNumber(const std::string& text) {
    if (text.size() < 4) return -1;
    if (std::toupper(static_cast<unsigned char>(text[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(text[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(text[2])) != 'M') {
        return -1;
    }
    int n = 0;
    for (size_t i = 3; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])) || n > 999) return -1;
        n = n * 10 + (text[i] - '0');
    }
    return n;
}

bool AllDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

// The name COM port k opens: the one set for it, else the console's rule.
std::string OpenedPath(int k) {
    const char* name = PortDeviceName(k);
    if (name != nullptr) return name;
#ifdef _WIN32
    return "Com" + std::to_string(k);
#else
    char buffer[DEVICE_PATH_BYTES];
    if (DevicePathFor(k, std::getenv("HOME"), buffer, sizeof buffer) != 0) return "?";
    return buffer;
#endif
}

// Where COM port k's device is, for messages: the name opened and, for a mapping,
// what it points at.
std::string DescribeDevice(int k) {
    std::string path = OpenedPath(k);
#ifndef _WIN32
    char target[PATH_MAX];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n > 0) {
        target[n] = '\0';
        return path + " -> " + target;
    }
#endif
    return path;
}

}  // namespace

int ResolvePortOption(const std::string& port, int& comPort, std::string& deviceName, std::string& error) {
    deviceName.clear();
    if (port.empty()) {
        comPort = 1;
        return 0;
    }
    // A device server on the network, on every platform: opened through COM1's record.
    NetAddress address;
    int url = NetParseUrl(port.c_str(), &address);
    if (url != NET_URL_NOT_URL) {
        if (url != NET_URL_OK) {
            error = "--port: " + port + ": " + NetUrlProblem(url);
            return -1;
        }
        comPort = 1;
        deviceName = port;
        return 0;
    }
    if (AllDigits(port)) {
        if (port.size() > 1 || port[0] < '1') {
            error = "--port: COM number " + port + " is not 1..9";
            return -1;
        }
        comPort = port[0] - '0';
        return 0;
    }
    int n = ComNumber(port);
    if (n >= 1 && n <= 9) {
        comPort = n;
        return 0;
    }
#ifdef _WIN32
    if (n >= 10) {
        // Windows opens COM10 and above only by their full device name.
        comPort = 1;
        deviceName = "\\\\.\\COM" + std::to_string(n);
        return 0;
    }
    error = "--port: " + port + " is not a COM port (give COM1, COM2, ... or a number 1..9)";
    return -1;
#else
    if (n == 0 || n > 9) {
        error = "--port: " + port + " is not COM1..COM9 (or give a device path)";
        return -1;
    }
    comPort = 1;
    deviceName = port.find('/') == std::string::npos ? "/dev/" + port : port;
    if (deviceName.size() >= PORT_NAME_BYTES) {
        error = "--port: the device name is too long";
        return -1;
    }
    return 0;
#endif
}

int OpenPort(const PortOptions& options, OpenedPort& opened) {
    const int comPort = options.comPort;
    const std::string& deviceName = options.deviceName;
    PortRequest(0, PORT_INIT, nullptr);
    if (PortSetDeviceName(comPort, deviceName.c_str()) != 0) {
        // ResolvePortOption refuses a name this long; said rather than opened cut.
        std::fprintf(stderr, "zantrox-cli: --port: the device name is too long\n");
        return EXIT_NO_PORT;
    }
    ResetConsoleSettings();
    Settings.comPort = comPort;
    Settings.baudRate = options.baudRate;
    Settings.pumpNumber = options.pumpNumber;
    Settings.presetAmount = options.presetAmount;
    Settings.priceBase = options.priceBase;
    opened.comPort = comPort;
    // A device given by path is called by its path; a COM number by its COM name.
    opened.name = deviceName.empty() ? "COM" + std::to_string(comPort) : deviceName;
    opened.device = DescribeDevice(comPort);
    std::string label = PortLabel(opened);

    int result = OpenConfiguredPort();
    if (result != PORT_OK) {
        std::string device = OpenedPath(comPort);
        if (result == PORT_OPEN_FAILED) {
            DeviceTree tree;
            const char* home = std::getenv("HOME");
            if (home != nullptr) tree.home = home;
            std::fprintf(stderr, "zantrox-cli: %s: %s\n", label.c_str(),
                         ExplainOpenFailure(PortLastOpenError(), device, tree).c_str());
        } else {
            std::fprintf(stderr,
                         "zantrox-cli: %s: the line settings (%d baud, 8 data bits, no parity, one stop bit) "
                         "could not be applied: not a serial port, or one that does not offer this speed\n",
                         label.c_str(), options.baudRate);
        }
        return EXIT_NO_PORT;
    }
    if (StartTickThread() != 0) {
        std::fprintf(stderr, "zantrox-cli: could not start the receive timer thread\n");
        return EXIT_NO_PORT;
    }
    return EXIT_ALL_OK;
}

std::string PortLabel(const OpenedPort& opened) {
    return opened.device == opened.name ? opened.name : opened.name + " (" + opened.device + ")";
}

void ClosePort() {
    (void)StopTickThread();
    PortRequest(openPortId.load(), PORT_FORGET, nullptr);
}

TransactionResult RunOneTransaction(const std::string& command, const std::string& text, int reply, int pump) {
    TransactionResult result;
    result.command = command;
    result.pump = pump;
    result.time = IsoTimeNow();
    result.clock = LocalClockNow();
    if (SendMessageText(reply, "%s", text.c_str()) != 0) {
        // Cannot happen with the table's texts; said rather than sent cut.
        result.sent = text;
        result.verdict = VERDICT_NO_ACK;
        return result;
    }
    const TransactionRecord& t = LastTransaction;
    result.sent = t.text;
    result.frame.assign(t.frame, t.frame + t.frameLength);
    int captured = t.receivedLength < CAPTURE_BYTES ? t.receivedLength : CAPTURE_BYTES;
    result.received.assign(t.received, t.received + captured);
    result.answer.assign(t.answer, t.answer + t.answerLength);
    result.replyExpected = t.replyWasExpected != 0;
    result.verdict = t.verdict;
    result.ack = t.ackUs >= 0;
    result.ms = static_cast<double>(t.endUs - t.startUs) / 1000.0;
    result.drainMs = static_cast<double>(t.sentUs - t.startUs) / 1000.0;
    result.answerMs = t.ackUs >= 0 ? static_cast<double>(t.ackUs - t.sentUs) / 1000.0 : -1;
    if (result.replyExpected && (t.verdict == VERDICT_OK || t.verdict == VERDICT_CHECKSUM_ERROR)) {
        // From the bytes as they came, not the answer: a long reply wraps there.
        result.hasReply = true;
        ReplyOnTheLine(result.received, result.reply, result.replyCut);
    }
    return result;
}

void ReplyOnTheLine(const std::vector<unsigned char>& received, std::string& text, bool& cut) {
    text.clear();
    cut = false;
    size_t i = 0;
    while (i < received.size() && received[i] != ACK) ++i;
    if (i < received.size()) ++i;
    if (i < received.size() && received[i] == STX) ++i;
    for (; i < received.size(); ++i) {
        if (received[i] == ETX) return;
        text += static_cast<char>(received[i]);
    }
    cut = true;
}

std::tm CalendarTime(std::time_t seconds, bool local) {
    std::tm parts;
#ifdef _WIN32
    if (local) localtime_s(&parts, &seconds);
    else gmtime_s(&parts, &seconds);
#else
    if (local) localtime_r(&seconds, &parts);
    else gmtime_r(&seconds, &parts);
#endif
    return parts;
}

std::string ClockAt(long long epochUs, bool local, const char* format, int digits, const char* suffix) {
    long long seconds = epochUs / 1000000;
    long long fraction = epochUs % 1000000;
    std::tm parts = CalendarTime(static_cast<std::time_t>(seconds), local);
    char text[64];
    size_t n = std::strftime(text, sizeof text, format, &parts);
    for (int d = digits; d < 6; ++d) fraction /= 10;
    int written = std::snprintf(text + n, sizeof text - n, ".%0*lld%s", digits, fraction, suffix);
    if (written < 0 || static_cast<size_t>(written) >= sizeof text - n) return std::string(text, n);
    return text;
}

namespace {

// Now as `format` (strftime) on the UTC or local clock, then the milliseconds
// with `suffix`.
std::string ClockNow(bool local, const char* format, const char* suffix) {
    using namespace std::chrono;
    long long us = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    return ClockAt(us, local, format, 3, suffix);
}

}  // namespace

std::string IsoTimeNow() { return ClockNow(false, "%Y-%m-%dT%H:%M:%S", "Z"); }

std::string LocalClockNow() { return ClockNow(true, "%H:%M:%S", ""); }

void InstallStopHandler() {
    stopTransactions.store(0);
    std::signal(SIGINT, OnInterrupt);
}

bool StopRequested() { return stopTransactions.load() != 0; }

void PauseUnlessStopped(int ms) {
    long long end = OsMonotonicUs() + static_cast<long long>(ms) * 1000;
    while (!StopRequested()) {
        long long left = end - OsMonotonicUs();
        if (left <= 0) return;
        OsSleepMs(left > 10000 ? 10 : static_cast<int>((left + 999) / 1000));
    }
}
