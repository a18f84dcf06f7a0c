// zantrox-extcap: Wireshark's external capture interface for the line and the tap.
// Wireshark runs the program with --extcap-interfaces, --extcap-dlts and
// --extcap-config to fill its interface list and dialog, then with --capture
// --fifo PATH to capture; the pieces go to the pipe as pcapng as they come.
#pragma once

#include <string>
#include <vector>

// The interfaces, as Wireshark lists them.
const char* const EXTCAP_LINE = "zantrox-line";  // "Zantrox line": one port, listening
const char* const EXTCAP_TAP = "zantrox-tap";    // "Zantrox tap": the host and controller lines

// What a call asks for, from its arguments (Wireshark's and the dialog's).
struct ExtcapCall {
    enum Kind { NONE, INTERFACES, DLTS, CONFIG, CAPTURE } kind = NONE;
    std::string interfaceName;  // --extcap-interface (windows.h makes "interface" a keyword)
    std::string fifo;       // --fifo
    std::string port = "1"; // zantrox-line: --port
    std::string hostPort;   // zantrox-tap: --host-port, --ctrl-port
    std::string ctrlPort;
    int baudRate = 9600;    // --baud
};

// The answer to INTERFACES, DLTS or CONFIG, lines ending in '\n'; "" with `error`
// set for an unknown interface.
std::string ExtcapAnswer(const ExtcapCall& call, const std::string& version, std::string& error);
// Whether the call is one this program can run; false with a reason.
bool ExtcapCheck(const ExtcapCall& call, std::string& error);
