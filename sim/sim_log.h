// Test support: reads the log of zantrox-sim.
//
// Each line is "<ms since start>\t<verdict>\t<text>\n". The verdict of a frame is
// "ok", "bad-checksum", "overflow" or "ignored" (mode silent); a mode change is
// logged with the verdict "mode" and the mode's name as its text. In the text a
// backslash stands as \\ and every byte outside 0x20..0x7E as \xHH.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace simlog {

struct Record {
    long long ms = 0;
    std::string verdict;
    std::string text;  // unescaped: the bytes as they were sent
};

inline int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Undoes the log's escaping. A malformed escape is kept as it stands.
inline std::string Unescape(const std::string& escaped) {
    std::string out;
    out.reserve(escaped.size());
    for (size_t i = 0; i < escaped.size(); ++i) {
        char c = escaped[i];
        if (c == '\\' && i + 1 < escaped.size() && escaped[i + 1] == '\\') {
            out.push_back('\\');
            ++i;
        } else if (c == '\\' && i + 3 < escaped.size() && escaped[i + 1] == 'x' &&
                   HexDigit(escaped[i + 2]) >= 0 && HexDigit(escaped[i + 3]) >= 0) {
            out.push_back(static_cast<char>(HexDigit(escaped[i + 2]) * 16 + HexDigit(escaped[i + 3])));
            i += 3;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// Parses one line without its newline. Returns false when it is not a record.
inline bool ParseLine(const std::string& line, Record& record) {
    size_t tab1 = line.find('\t');
    if (tab1 == std::string::npos || tab1 == 0) return false;
    size_t tab2 = line.find('\t', tab1 + 1);
    if (tab2 == std::string::npos) return false;
    long long ms = 0;
    for (size_t i = 0; i < tab1; ++i) {
        if (line[i] < '0' || line[i] > '9') return false;
        ms = ms * 10 + (line[i] - '0');
    }
    record.ms = ms;
    record.verdict = line.substr(tab1 + 1, tab2 - tab1 - 1);
    record.text = Unescape(line.substr(tab2 + 1));
    return true;
}

// Every complete line of the log (a line still being written is left out).
// A missing file gives no records.
inline std::vector<Record> ReadLog(const std::string& path) {
    std::vector<Record> records;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return records;
    std::string content;
    char chunk[4096];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, n);
    std::fclose(file);
    size_t start = 0;
    for (size_t end = content.find('\n'); end != std::string::npos; end = content.find('\n', start)) {
        Record record;
        if (ParseLine(content.substr(start, end - start), record)) records.push_back(record);
        start = end + 1;
    }
    return records;
}

// The records of frames only (mode changes left out).
inline std::vector<Record> ReadFrames(const std::string& path) {
    std::vector<Record> frames;
    for (Record& r : ReadLog(path)) {
        if (r.verdict != "mode") frames.push_back(r);
    }
    return frames;
}

}  // namespace simlog
