#include "commands/command_lookup.h"

#include <cctype>
#include <vector>

#include "commands/catalogue.h"
#include "link/frame.h"
#include "link/transaction.h"

namespace {

bool StartsWithFolded(const std::string& text, const char* prefix) {
    size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

}  // namespace

RawForm ParseRawMessage(const std::string& name, RawMessage& message, std::string& error) {
    size_t prefix = 0;
    if (StartsWithFolded(name, "text:")) {
        prefix = 5;
        message.reply = false;
    } else if (StartsWithFolded(name, "text+:")) {
        prefix = 6;
        message.reply = true;
    } else {
        return RAW_NOT;
    }
    message.text = name.substr(prefix);
    error = UnframableReason(message.text);
    return error.empty() ? RAW_OK : RAW_BAD;
}

std::string UnframableReason(const std::string& text) {
    if (text.empty()) return "the text is empty";
    // The frame is built from a NUL-terminated buffer, and STX or ETX inside would
    // end or restart the frame on the controller's side.
    for (char c : text) {
        if (c == '\0') return "the text holds a NUL byte, which cannot be sent";
        if (static_cast<unsigned char>(c) == STX) return "the text holds STX (0x02), which would start a new frame";
        if (static_cast<unsigned char>(c) == ETX) return "the text holds ETX (0x03), which would end the frame there";
    }
    if (text.size() > MESSAGE_BYTES - 1) {
        return "the text is " + std::to_string(text.size()) + " bytes; a message holds at most " +
               std::to_string(MESSAGE_BYTES - 1);
    }
    return "";
}

std::string UnknownCommandText(const std::string& name) {
    std::string text = "unknown command '" + name + "'";
    std::vector<std::string> close = ClosestPaths(name, 3);
    for (size_t i = 0; i < close.size(); ++i) {
        text += i == 0 ? "; did you mean '" : i + 1 == close.size() ? " or '" : ", '";
        text += close[i] + "'";
    }
    if (!close.empty()) text += "? ('zantrox-cli list' shows them all)";
    return text;
}
