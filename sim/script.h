// Answers written down instead of computed: a recording of a real line to replay,
// and answer rules that model one controller's quirks. Both are read once at start;
// a file with an error is refused with the line or the rule and the key at fault.
#pragma once

#include <cstdint>
#include <random>
#include <regex>
#include <string>
#include <vector>

using ByteString = std::vector<unsigned char>;

// ---- Replay ----------------------------------------------------------------------

// One recorded answer to a request: the controller's bytes in order, in two parts
// so that the ACK's latency and the reply's gap are kept.
struct RecordedAnswer {
    ByteString head;       // the bytes through the first ACK (empty when there was none)
    long long headUs = 0;  // the request's end to the arrival of the head's last byte
    ByteString tail;       // the bytes after the ACK (all of them when there was none)
    long long tailUs = -1; // the request's end to the tail's first byte; -1: right after the head
};

class Recording {
public:
    // Reads a JSON Lines recording: transactions from `send --json`, exchanges from
    // `watch --tap --json`, pieces from `watch --json` or `watch --tap --json`.
    // Returns false with "line N: reason" in `error`.
    bool Load(const std::string& path, std::string& error);

    // The next answer recorded for this request text, in the recording's order; the
    // last one again once they are used up. False when the recording lacks the text.
    bool Take(const std::string& text, RecordedAnswer& answer);

    size_t Requests() const { return entries_.size(); }

private:
    struct Entry {
        std::string text;
        std::vector<RecordedAnswer> answers;
        size_t next = 0;
    };
    void Add(const std::string& text, const RecordedAnswer& answer);
    std::vector<Entry> entries_;
};

// ---- Rules ----------------------------------------------------------------------

enum RuleFault {
    RULE_FAULT_NONE = 0,
    RULE_FAULT_NO_ACK,        // nothing goes out
    RULE_FAULT_BAD_CHECKSUM,  // the reply's checksum byte + 1
    RULE_FAULT_CUT,           // the ACK and the first half of the reply frame only
    RULE_FAULT_NOISE,         // noise bytes before the ACK
};

// What a rule makes of one request.
struct RuleAnswer {
    bool hasReply = false;   // false: the ACK alone
    std::string reply;       // the reply text
    int ackDelayMs = -1;     // the request's end to the ACK; -1: the usual delay
    int replyDelayMs = 0;    // silence between the ACK and the reply
    int fault = RULE_FAULT_NONE;
};

class Rules {
public:
    // Reads a JSON array of rules. Returns false with "rule N: key: reason" (or
    // why the file is not a JSON array) in `error`.
    bool Load(const std::string& path, std::string& error);
    bool Parse(const std::string& json, std::string& error);

    // Tries the rules in order on a request text whose usual answer is `usual`
    // (the reply text, or nullptr for the ACK alone). True when one takes it.
    bool Take(const std::string& text, const char* usual, RuleAnswer& answer);

    size_t Count() const { return rules_.size(); }

private:
    struct Rule {
        std::regex match;
        bool hasReply = false;  // "reply" given
        bool replyNull = false; // "reply": null (the ACK alone)
        std::string reply;
        int ackDelayMs = -1;
        int replyDelayMs = 0;
        int fault = RULE_FAULT_NONE;
        long long times = -1;     // -1: no limit
        double fraction = -1;     // -1: every match
        std::mt19937_64 random;
        long long matched = 0;
    };
    std::vector<Rule> rules_;
};

// The bytes of a Latin-1 text as JSON carries it (UTF-8, code points up to U+00FF).
// False when a code point does not fit a byte.
bool LatinBytes(const std::string& utf8, std::string& bytes);

// "02 46 45 03 70" -> bytes. False when it is not such a list.
bool ParseHex(const std::string& hex, ByteString& bytes);

// Microseconds since 1970 of "2026-12-08T09:30:01.123456Z". False when malformed.
bool ParseIsoMicros(const std::string& text, long long& micros);
