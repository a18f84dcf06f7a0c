#include "events/trace_text.h"

#include "link/frame.h"

std::string TraceText(const unsigned char* bytes, size_t count) {
    std::string text;
    char piece[8];
    for (size_t i = 0; i < count; ++i) {
        TracePiece(bytes[i], piece);
        text += piece;
    }
    return text;
}

std::string TraceText(const std::string& text) {
    return TraceText(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

std::string JsonText(const unsigned char* bytes, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        unsigned char c = bytes[i];
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string JsonText(const std::string& text) {
    return JsonText(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

std::string HexBytes(const std::vector<unsigned char>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) text += ' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}
