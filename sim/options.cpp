#include "sim/options.h"

#include "zantrox_version.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

const char* const MODE_NAMES[MODE_COUNT] = {
    "normal", "silent", "no-ack", "bad-checksum", "noise",
    "gap",    "long-reply", "chatter", "ack-only", "slow",
};

const char USAGE[] =
    "usage: zantrox-sim [options]\n"
    "Plays the fuel-dispenser controller on a pseudo-terminal.\n"
    "\n"
    "  --com K             link the terminal as ~/.config/zantrox/comK (1..9; default 1)\n"
    "  --link PATH         link the terminal as PATH instead\n"
    "  --no-link           make no link; use the terminal path printed at start\n"
    "  --fault MODE        start in fault mode MODE (default normal)\n"
    "  --control FILE      switch the mode whenever FILE is rewritten with a mode name\n"
    "  --log FILE          log every received frame to FILE ('-' for stderr)\n"
    "  --reply-delay-ms N  wait N ms before every ACK (default 0)\n"
    "  --slow-ms N         extra wait before the ACK in mode slow (default 250)\n"
    "  --help              show this text\n"
    "  --version           show the version\n"
    "\n"
    "Fault modes (SIGUSR1 steps to the next one):\n"
    "  normal        ACK every good frame, then the reply for texts that have one\n"
    "  silent        answer nothing; frames are logged as 'ignored'\n"
    "  no-ack        answer nothing, but take the frames (logged as usual)\n"
    "  bad-checksum  ACK, then the reply with its checksum byte off by one\n"
    "  noise         three noise bytes (15 7E 78) before the ACK\n"
    "  gap           ACK, half the reply, a 300 ms pause, then the rest\n"
    "  long-reply    ACK, then a reply of 950 text bytes instead of the usual one\n"
    "  chatter       normal answers, and a 'z' every 50 ms while the line is idle\n"
    "  ack-only      ACK every good frame, never a reply\n"
    "  slow          like normal, the ACK --slow-ms later\n"
    "\n"
    "On start one line goes to stdout: zantrox-sim: ready <terminal> <link or ->\n";

// Parses a whole non-negative decimal number no larger than `max`.
int ParseNumber(const char* text, int max, int& value) {
    if (text == nullptr || text[0] < '0' || text[0] > '9') return -1;
    char* end = nullptr;
    errno = 0;
    long n = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || n < 0 || n > max) return -1;
    value = static_cast<int>(n);
    return 0;
}

int Fail(char* error, int errorSize, const char* what, const char* arg) {
    int n = snprintf(error, static_cast<size_t>(errorSize), "%s: %s", what, arg);
    if (n < 0 && errorSize > 0) error[0] = '\0';
    return SIM_OPTIONS_ERROR;
}

}  // namespace

const char* ModeName(int mode) {
    return mode >= 0 && mode < MODE_COUNT ? MODE_NAMES[mode] : "?";
}

int ModeByName(const char* text, int length) {
    for (int i = 0; i < MODE_COUNT; ++i) {
        if (static_cast<int>(strlen(MODE_NAMES[i])) == length &&
            memcmp(MODE_NAMES[i], text, static_cast<size_t>(length)) == 0) {
            return i;
        }
    }
    return -1;
}

int ParseOptions(int argc, char** argv, SimOptions& options, char* error, int errorSize) {
    options.com = 1;
    options.linkPath = nullptr;
    options.noLink = 0;
    options.fault = MODE_NORMAL;
    options.controlPath = nullptr;
    options.logPath = nullptr;
    options.replyDelayMs = 0;
    options.slowMs = DEFAULT_SLOW_MS;
    int comGiven = 0;
    if (errorSize > 0) error[0] = '\0';

    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) return SIM_OPTIONS_HELP;
        if (strcmp(arg, "--version") == 0) return SIM_OPTIONS_VERSION;
        if (strcmp(arg, "--no-link") == 0) {
            options.noLink = 1;
            continue;
        }
        // Every other option takes a value: "--name value" or "--name=value".
        static const char* const WITH_VALUE[] = {"--com", "--link", "--fault", "--control",
                                                 "--log", "--reply-delay-ms", "--slow-ms"};
        int which = -1;
        const char* value = nullptr;
        for (int k = 0; k < static_cast<int>(sizeof WITH_VALUE / sizeof WITH_VALUE[0]); ++k) {
            size_t n = strlen(WITH_VALUE[k]);
            if (strncmp(arg, WITH_VALUE[k], n) != 0) continue;
            if (arg[n] == '\0') {
                if (i + 1 >= argc) return Fail(error, errorSize, "missing value for", arg);
                which = k;
                value = argv[++i];
            } else if (arg[n] == '=') {
                which = k;
                value = arg + n + 1;
            }
            if (which >= 0) break;
        }
        switch (which) {
            case 0:
                if (ParseNumber(value, 9, options.com) != 0 || options.com < 1) {
                    return Fail(error, errorSize, "--com wants 1..9, not", value);
                }
                comGiven = 1;
                break;
            case 1:
                if (value[0] == '\0') return Fail(error, errorSize, "--link wants a path", "(empty)");
                options.linkPath = value;
                break;
            case 2:
                options.fault = ModeByName(value, static_cast<int>(strlen(value)));
                if (options.fault < 0) return Fail(error, errorSize, "unknown fault mode", value);
                break;
            case 3:
                if (value[0] == '\0') return Fail(error, errorSize, "--control wants a path", "(empty)");
                options.controlPath = value;
                break;
            case 4:
                if (value[0] == '\0') return Fail(error, errorSize, "--log wants a path", "(empty)");
                options.logPath = value;
                break;
            case 5:
                if (ParseNumber(value, 600000, options.replyDelayMs) != 0) {
                    return Fail(error, errorSize, "--reply-delay-ms wants 0..600000, not", value);
                }
                break;
            case 6:
                if (ParseNumber(value, 600000, options.slowMs) != 0) {
                    return Fail(error, errorSize, "--slow-ms wants 0..600000, not", value);
                }
                break;
            default:
                return Fail(error, errorSize, "unknown option", arg);
        }
    }
    if (options.noLink && (options.linkPath != nullptr || comGiven)) {
        return Fail(error, errorSize, "conflicting options", "--no-link with --link or --com");
    }
    if (options.linkPath != nullptr && comGiven) {
        return Fail(error, errorSize, "conflicting options", "--link with --com");
    }
    return SIM_OPTIONS_OK;
}

namespace {

void WriteText(int fd, const char* text, size_t total) {
    size_t done = 0;
    while (done < total) {
        ssize_t n = write(fd, text + done, total - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

const char VERSION_LINE[] = "zantrox-sim " ZANTROX_VERSION "\n";

}  // namespace

void PrintUsage(int fd) { WriteText(fd, USAGE, sizeof USAGE - 1); }

void PrintVersion(int fd) { WriteText(fd, VERSION_LINE, sizeof VERSION_LINE - 1); }
