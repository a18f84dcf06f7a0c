// Command line of zantrox-sim.
#pragma once

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
    SIM_OPTIONS_HELP = 1,     // --help was given
    SIM_OPTIONS_VERSION = 2,  // --version was given
    SIM_OPTIONS_ERROR = -1,   // message in the error buffer
    DEFAULT_SLOW_MS = 250,
};

struct SimOptions {
    int com;                 // 1..9
    const char* linkPath;    // --link, or nullptr
    int noLink;              // --no-link
    int fault;               // a FaultMode
    const char* controlPath; // --control, or nullptr
    const char* logPath;     // --log, "-" for stderr, or nullptr
    int replyDelayMs;        // before the ACK, every mode
    int slowMs;              // added before the ACK in the slow mode
};

// The mode's name ("normal", "no-ack", ...).
const char* ModeName(int mode);

// The mode named by text[0 .. length-1], or -1.
int ModeByName(const char* text, int length);

// Fills `options` from the arguments. Returns SIM_OPTIONS_OK, SIM_OPTIONS_HELP, or
// SIM_OPTIONS_ERROR with a one-line reason in `error` (`errorSize` bytes).
int ParseOptions(int argc, char** argv, SimOptions& options, char* error, int errorSize);

// Writes the usage text to the descriptor.
void PrintUsage(int fd);

// Writes "zantrox-sim <version>" and a line end to the descriptor.
void PrintVersion(int fd);
