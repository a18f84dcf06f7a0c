// What the parts of zantrox-cli share: exit statuses, the link options of send,
// watch and check, opening the port, and one transaction as the command line
// reports it.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

enum CliExit {
    EXIT_ALL_OK = 0,   // every transaction got its ACK and, where expected, a good reply
    EXIT_FAILED = 1,   // some transaction failed
    EXIT_USAGE = 2,    // bad command line; nothing was sent
    EXIT_NO_PORT = 3,  // the port could not be opened
};

// The options of send, watch and check, already checked against their allowed values.
struct PortOptions {
    std::string port;        // "" (COM1 as the console resolves it), "3", a device path, or "COM3"
    int comPort = 1;         // `port` resolved by ResolvePortOption: the COM port to use
    std::string deviceName;  // and the device it opens instead of the console's rule ("" for none)
    int baudRate = 9600;
    int pumpNumber = 1;
    int presetAmount = 100;  // hundredths
    int priceBase = 1199;
    bool json = false;
};

// The port as opened: what it is called and the device behind it.
struct OpenedPort {
    int comPort = 1;
    std::string name;    // "COM1", or the device path given
    std::string device;  // "/home/u/.config/zantrox/com1 -> /dev/pts/3", "Com1"
};

// Puts the options (their port already resolved) into the console settings, opens
// the port and starts the tick thread. On failure says why on stderr (in words,
// with what to do) and returns EXIT_NO_PORT; else EXIT_ALL_OK.
int OpenPort(const PortOptions& options, OpenedPort& opened);
// Turns a --port value into the COM port to use and, for a device path (Linux) or
// COM10 and above (Windows), the device name it opens. Returns 0, or -1 with a reason
// (a usage error: no such COM number, a device name too long to open).
int ResolvePortOption(const std::string& port, int& comPort, std::string& deviceName, std::string& error);

// "COM1 (~/.config/zantrox/com1 -> /dev/ttyUSB0)": the port's name with its device.
std::string PortLabel(const OpenedPort& opened);

// Stops the tick thread and forgets the port.
void ClosePort();

// One transaction as it happened.
struct TransactionResult {
    std::string time;     // ISO 8601, UTC, milliseconds: 2026-12-08T09:30:01.123Z
    std::string clock;    // the same instant on the local clock: 10:30:01.123
    std::string command;  // the name as given on the command line
    int pump = 0;         // the pump number when it was sent
    std::string sent;     // the message text
    std::vector<unsigned char> frame;
    std::vector<unsigned char> received;  // every byte read after the frame, noise included
    std::vector<unsigned char> answer;    // the ACK and the reply, as the RX trace shows them
    bool replyExpected = false;
    bool ack = false;
    bool hasReply = false;  // a whole reply (through ETX and its checksum) came
    std::string reply;      // its text between STX and ETX, from its start as it came
    bool replyCut = false;  // the bytes captured ended before the reply's ETX
    int verdict = 0;        // a TransactionVerdict
    double ms = 0;          // the whole transaction, drain included
    double answerMs = -1;   // from the end of the frame's write to the ACK byte; -1 without one
    double drainMs = 0;     // from the start to the end of the frame's write: the drain, mostly
};

// Sends `text` as one transaction (reply flag `reply`) on the open port; `pump` is
// the pump number the text was made for, as the result reports it.
TransactionResult RunOneTransaction(const std::string& command, const std::string& text, int reply, int pump);
// The reply's text as it came on the line, out of the bytes read after the frame:
// after the first ACK (and an STX) up to the ETX. `cut` when the bytes end first.
void ReplyOnTheLine(const std::vector<unsigned char>& received, std::string& text, bool& cut);

// What only a listener on both lines sees, numbered after the transaction verdicts.
enum TapOnlyVerdict {
    VERDICT_OVERLAP = 7,           // the host sent again before the exchange ended
    VERDICT_UNANSWERED_REPLY = 8,  // a controller frame with no request
};

// "ok", "no-ack", "checksum-error", "incomplete", "line-never-quiet",
// "reply-without-end", "stopped", "overlap", "unanswered reply".
const char* VerdictName(int verdict);
// "ACK", "reply OK", "no ACK", "checksum ERROR", "reply incomplete", "line never
// quiet", "reply without end", "stopped".
const char* VerdictWords(const TransactionResult& result);

// The transaction as one JSON object on one line (no newline).
std::string TransactionJson(const TransactionResult& result);
// The transaction as a technician reads it: trace lines as the panel shows them,
// the verdict and the time.
void PrintTransaction(std::FILE* out, const TransactionResult& result);

// Bytes in the trace form on one line, however many: " [02]FE [03]p".
std::string TraceText(const unsigned char* bytes, size_t count);
std::string TraceText(const std::string& text);
// Line bytes as a JSON string: bytes above 0x7F stand for U+0080..U+00FF, since
// they are not UTF-8.
std::string JsonText(const unsigned char* bytes, size_t count);
std::string JsonText(const std::string& text);

// The value at fraction `p` (0..1) of `sorted`, interpolated linearly between
// neighbouring ranks (the median of 1, 2, 3, 4 is 2.5). 0 for an empty list.
double Percentile(const std::vector<double>& sorted, double p);

// Bytes as "02 46 45 03 70".
std::string HexBytes(const std::vector<unsigned char>& bytes);
// Now, ISO 8601 UTC with milliseconds.
std::string IsoTimeNow();
// Now on the local clock, "09:30:01.123", for text output.
std::string LocalClockNow();
// `epochUs` (microseconds since 1970) as `format` (strftime) on the local clock or
// in UTC, then a point, the first `digits` (1..6) digits of the fraction and `suffix`.
std::string ClockAt(long long epochUs, bool local, const char* format, int digits, const char* suffix);
// The calendar parts of `seconds` on the local clock or in UTC.
std::tm CalendarTime(std::time_t seconds, bool local);

// Ctrl+C ends the transaction in flight (verdict "stopped", within a few
// milliseconds) and asks the running command to stop; it still writes its summary
// or report. A second Ctrl+C ends the program at once.
void InstallStopHandler();
bool StopRequested();
// Sleeps `ms`, returning early when a stop was asked for.
void PauseUnlessStopped(int ms);
