// Line bytes as text: the console's trace form, JSON strings and hex.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Bytes in the trace form on one line, however many: " [02]FE [03]p".
std::string TraceText(const unsigned char* bytes, size_t count);
std::string TraceText(const std::string& text);
// Line bytes as a JSON string: bytes above 0x7F stand for U+0080..U+00FF, since
// they are not UTF-8.
std::string JsonText(const unsigned char* bytes, size_t count);
std::string JsonText(const std::string& text);
// Bytes as "02 46 45 03 70".
std::string HexBytes(const std::vector<unsigned char>& bytes);
