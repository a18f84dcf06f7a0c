// How a command named on the command line or in a run file is looked up beyond
// the catalogue itself: a message text given as it stands ("text:B07C"), and the
// words for a name the catalogue does not know.
#pragma once

#include <string>

// A message text sent as it stands, for commands the menu lacks.
struct RawMessage {
    std::string text;
    bool reply = false;  // a framed reply is expected after the ACK
};

enum RawForm {
    RAW_NOT = 0,  // not the raw form: look the name up in the catalogue
    RAW_OK = 1,   // "text:B07C" (no reply) or "text+:B07R" (a reply)
    RAW_BAD = 2,  // the raw form, with a text that cannot be sent; `error` says why
};

// Reads "text:TEXT" or "text+:TEXT" (the prefix in any case; the text as it stands).
RawForm ParseRawMessage(const std::string& name, RawMessage& message, std::string& error);

// Why `text` cannot be sent as one frame (empty, NUL, STX or ETX in it, longer than
// a message may be), or "" when it can.
std::string UnframableReason(const std::string& text);

// "unknown command 'pump/sale/reed'; did you mean 'Pump/Sale/Read', ... or ...?
// ('zantrox-cli list' shows them all)", as send says it.
std::string UnknownCommandText(const std::string& name);
