// The outputs a subcommand that uses a line takes from its options: text or JSON
// Lines on stdout (or nothing, when stdout carries a capture or Wireshark reads
// it), and a capture file. Summaries and the report are added by the subcommand.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "outputs/json_output.h"
#include "outputs/output_options.h"
#include "outputs/pcapng_output.h"
#include "outputs/text_output.h"

class ChosenOutputs {
public:
    // `json`: JSON Lines on stdout instead of text.
    ChosenOutputs(const OutputOptions& options, bool json, int form, const LineClock& clock,
                  const CommandNames* names);
    // Starts the capture when one is asked for, with one interface a line. Before
    // anything is sent: false, having said why on stderr (a usage error).
    bool Open(const std::vector<std::string>& lines);
    // Adds the output for stdout (text or JSON; none when quiet).
    void AddTerminal(LineStream& stream);
    // Adds the capture, when one was asked for, and the outputs the caller made.
    void AddCapture(LineStream& stream);
    // Where closing lines go: stdout, unless it carries JSON or a capture.
    std::FILE* Summary() const { return jsonLines_ || options_.quiet ? stderr : stdout; }
    // No summaries at all: the program runs for Wireshark, which shows none.
    bool Quiet() const { return options_.quiet && options_.pcapngFd > 2; }

private:
    const OutputOptions& options_;
    bool jsonLines_;
    TextOutput text_;
    JsonOutput json_;
    PcapngOutput pcapng_;
    bool capture_ = false;
};
