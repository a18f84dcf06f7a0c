// Command line of zantrox-sim.
#pragma once

#include <string>

enum FaultMode {
    MODE_NORMAL = 0,
    MODE_SILENT,
    MODE_NO_ACK,
    MODE_BAD_CHECKSUM,
    MODE_NOISE,
    MODE_GAP,
    MODE_LONG_REPLY,
    MODE_CHATTER,
    MODE_ACK_ONLY,
    MODE_SLOW,
    MODE_COUNT,
};

enum {
    SIM_OPTIONS_OK = 0,
    SIM_OPTIONS_HELP = 1,     // --help was given; the text is in the message
    SIM_OPTIONS_VERSION = 2,  // --version was given; the line is in the message
    SIM_OPTIONS_ERROR = -1,   // the reason is in the message, the usage in `usage`
    DEFAULT_SLOW_MS = 250,
};

struct SimOptions {
    int com = 1;               // 1..9
    std::string linkPath;      // --link, or empty
    bool noLink = false;       // --no-link
    int fault = MODE_NORMAL;   // a FaultMode
    std::string controlPath;   // --control, or empty
    std::string logPath;       // --log, "-" for stderr, or empty
    int replyDelayMs = 0;      // before the ACK, every mode
    int slowMs = DEFAULT_SLOW_MS;  // added before the ACK in the slow mode
    std::string tapHostLink;   // --tap-links: where the host side's repeat is linked, or empty
    std::string tapCtrlLink;   // and the controller side's
    bool instant = false;      // --instant: no line timing
    int baud = 9600;           // the controller's own rate; 0: the console's, whatever it is
    std::string replayPath;    // --replay, or empty
    bool replayStrict = false; // --replay-strict: silence for a request the recording lacks
    std::string rulesPath;     // --rules, or empty
};

// The mode's name ("normal", "no-ack", ...).
const char* ModeName(int mode);

// The mode named by text[0 .. length-1], or -1.
int ModeByName(const char* text, int length);

// Fills `options` from the arguments. Returns SIM_OPTIONS_OK, SIM_OPTIONS_HELP or
// SIM_OPTIONS_VERSION with the text to print in `message`, or SIM_OPTIONS_ERROR with
// a one-line reason in `message` and the usage text in `usage`.
int ParseOptions(int argc, char** argv, SimOptions& options, std::string& message, std::string& usage);
