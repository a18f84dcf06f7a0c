#include "extcap/extcap.h"

#include "capture/capture_piece.h"

namespace {

const char* const BAUD_RATES[] = {"2400", "4800", "9600", "19200"};

std::string BaudArgument(int number) {
    std::string n = std::to_string(number);
    std::string text = "arg {number=" + n + "}{call=--baud}{display=Baud rate}{type=selector}"
                       "{tooltip=The line's speed, 8 data bits, no parity, one stop bit}\n";
    for (const char* rate : BAUD_RATES) {
        text += "value {arg=" + n + "}{value=" + rate + "}{display=" + rate + "}" +
                (std::string(rate) == "9600" ? "{default=true}" : "{default=false}") + "\n";
    }
    return text;
}

}  // namespace

std::string ExtcapAnswer(const ExtcapCall& call, const std::string& version, std::string& error) {
    if (call.kind == ExtcapCall::INTERFACES) {
        return "extcap {version=" + version + "}{help=https://example.invalid/zantrox}\n"
               "interface {value=" + std::string(EXTCAP_LINE) + "}{display=Zantrox line}\n"
               "interface {value=" + std::string(EXTCAP_TAP) + "}{display=Zantrox tap}\n";
    }
    const bool line = call.interfaceName == EXTCAP_LINE;
    if (!line && call.interfaceName != EXTCAP_TAP) {
        error = "no such interface: '" + call.interfaceName + "' (zantrox-line or zantrox-tap)";
        return "";
    }
    if (call.kind == ExtcapCall::DLTS) {
        return "dlt {number=" + std::to_string(PCAPNG_LINKTYPE_UPPER_PDU) +
               "}{name=WIRESHARK_UPPER_PDU}{display=Zantrox line pieces}\n";
    }
    if (call.kind != ExtcapCall::CONFIG) return "";
    const std::string portHelp =
        "a COM number 1..9 as the console resolves it, a device path, or rfc2217://HOST:PORT or socket://HOST:PORT "
        "(+tls: rfc2217+tls://HOST:PORT?ca=FILE)";
    if (line) {
        return "arg {number=0}{call=--port}{display=Port}{type=string}{default=1}{required=true}"
               "{tooltip=The port to listen on: " + portHelp + "}\n" +
               BaudArgument(1);
    }
    return "arg {number=0}{call=--host-port}{display=Host line}{type=string}{required=true}"
           "{tooltip=The adapter that hears the host: " + portHelp + "}\n"
           "arg {number=1}{call=--ctrl-port}{display=Controller line}{type=string}{required=true}"
           "{tooltip=The adapter that hears the controller: " + portHelp + "}\n" +
           BaudArgument(2);
}

bool ExtcapCheck(const ExtcapCall& call, std::string& error) {
    if (call.kind == ExtcapCall::NONE) {
        error = "this program is run by Wireshark (it lists it as \"Zantrox line\" and \"Zantrox tap\"); "
                "by hand: --extcap-interfaces, or zantrox-cli watch --pcapng";
        return false;
    }
    if (call.kind == ExtcapCall::INTERFACES) return true;
    if (call.interfaceName != EXTCAP_LINE && call.interfaceName != EXTCAP_TAP) {
        error = "no such interface: '" + call.interfaceName + "' (zantrox-line or zantrox-tap)";
        return false;
    }
    if (call.kind != ExtcapCall::CAPTURE) return true;
    if (call.fifo.empty()) {
        error = "--capture needs --fifo PATH";
        return false;
    }
    if (call.interfaceName == EXTCAP_TAP && (call.hostPort.empty() || call.ctrlPort.empty())) {
        error = "Zantrox tap needs both lines: set the host and the controller line in the interface's options";
        return false;
    }
    if (call.baudRate != 2400 && call.baudRate != 4800 && call.baudRate != 9600 && call.baudRate != 19200) {
        error = "--baud: " + std::to_string(call.baudRate) + " is not 2400, 4800, 9600 or 19200";
        return false;
    }
    return true;
}
