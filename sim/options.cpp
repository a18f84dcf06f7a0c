#include "sim/options.h"

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "sim/line.h"
#include "zantrox_version.h"

namespace {

struct ModeInfo {
    const char* name;
    const char* help;
};

const ModeInfo MODES[MODE_COUNT] = {
    {"normal", "ACK every good frame, then the reply for texts that have one"},
    {"silent", "answer nothing; frames are logged as 'ignored'"},
    {"no-ack", "answer nothing, but take the frames (logged as usual)"},
    {"bad-checksum", "ACK, then the reply with its checksum byte off by one"},
    {"noise", "three noise bytes (15 7E 78) before the ACK"},
    {"gap", "ACK, half the reply, a 300 ms pause, then the rest"},
    {"long-reply", "ACK, then a reply of 950 text bytes instead of the usual one"},
    {"chatter", "normal answers, and a 'z' every 50 ms while the line is idle"},
    {"ack-only", "ACK every good frame, never a reply"},
    {"slow", "like normal, the ACK --slow-ms later"},
};

std::string Footer() {
    std::string text = "Fault modes (SIGUSR1 steps to the next one):\n";
    for (const ModeInfo& mode : MODES) {
        std::string name = mode.name;
        name.resize(14, ' ');
        text += "  " + name + mode.help + "\n";
    }
    text += "\nOn start one line goes to stdout: zantrox-sim: ready <terminal> <link or ->\n";
    text += "Exit status: 0 after a signal, 1 when the OS refuses something, 2 for a bad command line or a refused "
            "link.\n";
    return text;
}

// A path option may not be empty.
std::string NotEmpty(const std::string& value) { return value.empty() ? "wants a path" : ""; }

}  // namespace

const char* ModeName(int mode) { return mode >= 0 && mode < MODE_COUNT ? MODES[mode].name : "?"; }

int ModeByName(const char* text, int length) {
    for (int i = 0; i < MODE_COUNT; ++i) {
        if (static_cast<int>(strlen(MODES[i].name)) == length &&
            memcmp(MODES[i].name, text, static_cast<size_t>(length)) == 0) {
            return i;
        }
    }
    return -1;
}

int ParseOptions(int argc, char** argv, SimOptions& options, std::string& message, std::string& usage) {
    options = SimOptions();
    CLI::App app{"Plays the fuel-dispenser controller on a pseudo-terminal.", "zantrox-sim"};
    app.set_version_flag("--version", std::string("zantrox-sim ") + ZANTROX_VERSION);
    app.footer(Footer());

    CLI::Option* com =
        app.add_option("--com", options.com, "link the terminal as ~/.config/zantrox/comK (1..9; default 1)")
            ->check(CLI::Range(1, 9))
            ->option_text("K");
    CLI::Option* link =
        app.add_option("--link", options.linkPath, "link the terminal as PATH instead")->check(NotEmpty, "PATH")->option_text("PATH");
    CLI::Option* noLink =
        app.add_flag("--no-link", options.noLink, "make no link; use the terminal path printed at start")
            ->option_text(" ");
    noLink->excludes(link)->excludes(com);
    link->excludes(com);
    std::string fault;
    app.add_option("--fault", fault, "start in fault mode MODE (default normal)")
        ->check(
            [](const std::string& value) {
                return ModeByName(value.c_str(), static_cast<int>(value.size())) < 0 ? "unknown fault mode " + value
                                                                                       : std::string();
            },
            "MODE")
        ->option_text("MODE");
    app.add_option("--control", options.controlPath, "switch the mode whenever FILE is rewritten with a mode name")
        ->check(NotEmpty, "FILE")
        ->option_text("FILE");
    app.add_option("--log", options.logPath, "log every received frame to FILE ('-' for stderr)")
        ->check(NotEmpty, "FILE")
        ->option_text("FILE");
    app.add_option("--reply-delay-ms", options.replyDelayMs, "wait N ms before every ACK (default 0)")
        ->check(CLI::Range(0, 600000))
        ->option_text("N");
    app.add_option("--slow-ms", options.slowMs, "extra wait before the ACK in mode slow (default 250)")
        ->check(CLI::Range(0, 600000))
        ->option_text("N");
    std::vector<std::string> tapLinks;
    app.add_option("--tap-links", tapLinks,
                   "two more terminals, linked at HOST_LINK and CTRL_LINK, repeating every byte received and every "
                   "byte sent, for zantrox-cli watch --tap")
        ->expected(2)
        ->check(NotEmpty, "PATH")
        ->option_text("HOST_LINK CTRL_LINK");

    app.add_flag("--instant", options.instant,
                 "answer at the speed of the pseudo-terminal, not the line's (for fast tests)");
    std::string baud;
    app.add_option("--baud", baud,
                   "the controller's own rate (default 9600); a console set to another rate hears garbage, "
                   "as on a real line; 'auto': whatever rate the console sets")
        ->check(
            [](const std::string& value) {
                if (value == "auto") return std::string();
                char* end = nullptr;
                long n = strtol(value.c_str(), &end, 10);
                bool usual = !value.empty() && *end == '\0' && n > 0 && n < 1000000 &&
                             SpeedOfBaud(static_cast<int>(n)) != B0;
                return usual ? std::string() : value + " is not a usual serial rate (300 .. 115200) or auto";
            },
            "RATE")
        ->option_text("N|auto");
    CLI::Option* replay =
        app.add_option("--replay", options.replayPath,
                       "answer the requests of a JSON Lines recording (send --json, watch --json, watch --tap "
                       "--json) as recorded")
            ->check(NotEmpty, "FILE")
            ->option_text("FILE");
    app.add_flag("--replay-strict", options.replayStrict, "no answer to a request the recording lacks")
        ->needs(replay)
        ->option_text(" ");
    app.add_option("--rules", options.rulesPath, "answer rules: a JSON array tried in order on each request")
        ->check(NotEmpty, "FILE")
        ->option_text("FILE");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        message = app.help();
        return SIM_OPTIONS_HELP;
    } catch (const CLI::CallForVersion& e) {
        message = std::string(e.what()) + "\n";
        return SIM_OPTIONS_VERSION;
    } catch (const CLI::ParseError& e) {
        message = e.what();
        usage = app.help();
        return SIM_OPTIONS_ERROR;
    }
    if (baud == "auto") options.baud = 0;
    if (!baud.empty() && baud != "auto") options.baud = atoi(baud.c_str());
    if (!fault.empty()) options.fault = ModeByName(fault.c_str(), static_cast<int>(fault.size()));
    if (tapLinks.size() == 2) {
        options.tapHostLink = tapLinks[0];
        options.tapCtrlLink = tapLinks[1];
    }
    return SIM_OPTIONS_OK;
}
