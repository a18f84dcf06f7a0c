#include "sim/script.h"

#include <cmath>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "link/frame.h"
#include "sim/controller.h"

using nlohmann::json;

namespace {

const int MAX_DELAY_MS = 600000;

std::string Quoted(const std::string& key) { return "\"" + key + "\""; }

// Splits the controller's bytes at the first ACK.
void SplitAtAck(const ByteString& bytes, RecordedAnswer& answer) {
    size_t i = 0;
    while (i < bytes.size() && bytes[i] != ACK) ++i;
    if (i == bytes.size()) {
        answer.tail = bytes;
        return;
    }
    answer.head.assign(bytes.begin(), bytes.begin() + static_cast<long>(i) + 1);
    answer.tail.assign(bytes.begin() + static_cast<long>(i) + 1, bytes.end());
}

long long MillisToMicros(double ms) { return static_cast<long long>(std::llround(ms * 1000.0)); }

// An optional non-negative number of milliseconds: false when present but not one.
bool OptionalMs(const json& j, const char* key, long long& micros) {
    micros = -1;
    auto it = j.find(key);
    if (it == j.end() || it->is_null()) return true;
    if (!it->is_number() || it->get<double>() < 0) return false;
    micros = MillisToMicros(it->get<double>());
    return true;
}

bool TextField(const json& j, const char* key, std::string& bytes) {
    auto it = j.find(key);
    return it != j.end() && it->is_string() && LatinBytes(it->get<std::string>(), bytes);
}

// One piece from `watch --json` or `watch --tap --json`.
struct Piece {
    int line = 0;
    std::string kind;
    int dir = 0;  // 0 unknown (one-line watch), 1 host, 2 controller
    long long first = 0;
    long long last = 0;
    ByteString bytes;
    std::string text;
    bool checksumOk = false;
};

// Whether the simulator's own controller answers this text with a reply; used to
// tell a reply from the next request in a one-line watch.
bool ExpectsReply(ControllerState& scratch, const std::string& text) {
    char reply[SIM_REPLY_BYTES];
    return ControllerAnswer(scratch, reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()), reply, sizeof reply) == 1;
}

}  // namespace

bool LatinBytes(const std::string& utf8, std::string& bytes) {
    bytes.clear();
    for (size_t i = 0; i < utf8.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            bytes.push_back(static_cast<char>(c));
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size() &&
                   (static_cast<unsigned char>(utf8[i + 1]) & 0xC0) == 0x80) {
            bytes.push_back(static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3F)));
            ++i;
        } else {
            return false;
        }
    }
    return true;
}

bool ParseHex(const std::string& hex, ByteString& bytes) {
    bytes.clear();
    auto digit = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    size_t i = 0;
    while (i < hex.size()) {
        if (hex[i] == ' ') {
            ++i;
            continue;
        }
        if (i + 1 >= hex.size() || digit(hex[i]) < 0 || digit(hex[i + 1]) < 0) return false;
        if (i + 2 < hex.size() && hex[i + 2] != ' ') return false;
        bytes.push_back(static_cast<unsigned char>(digit(hex[i]) * 16 + digit(hex[i + 1])));
        i += 2;
    }
    return true;
}

bool ParseIsoMicros(const std::string& text, long long& micros) {
    int y, mo, d, h, mi, s;
    char fraction[16] = {0};
    int used = 0;
    if (sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &used) != 6) return false;
    long long us = 0;
    size_t i = static_cast<size_t>(used);
    if (i < text.size() && text[i] == '.') {
        int digits = 0;
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            if (digits < 6) {
                fraction[digits++] = text[i];
            }
        }
        while (digits < 6) fraction[digits++] = '0';
        us = atoll(fraction);
    }
    if (i != text.size() - 1 || text[i] != 'Z') return false;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return false;
    // Days since 1970-01-01 of a civil date.
    int yy = y - (mo <= 2 ? 1 : 0);
    int era = (yy >= 0 ? yy : yy - 399) / 400;
    int yoe = yy - era * 400;
    int doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    long long days = static_cast<long long>(era) * 146097 + doe - 719468;
    micros = ((days * 24 + h) * 60 + mi) * 60LL * 1000000 + s * 1000000LL + us;
    return true;
}

// ---- Recording --------------------------------------------------------------

void Recording::Add(const std::string& text, const RecordedAnswer& answer) {
    for (Entry& e : entries_) {
        if (e.text == text) {
            e.answers.push_back(answer);
            return;
        }
    }
    entries_.push_back(Entry{text, {answer}, 0});
}

bool Recording::Take(const std::string& text, RecordedAnswer& answer) {
    for (Entry& e : entries_) {
        if (e.text != text) continue;
        answer = e.answers[e.next];
        if (e.next + 1 < e.answers.size()) ++e.next;
        return true;
    }
    return false;
}

bool Recording::Load(const std::string& path, std::string& error) {
    entries_.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::vector<Piece> pieces;
    bool exchanges = false;
    std::string raw;
    int lineNo = 0;
    auto fail = [&](const std::string& why) {
        error = "line " + std::to_string(lineNo) + ": " + why;
        entries_.clear();
        return false;
    };
    while (std::getline(in, raw)) {
        ++lineNo;
        if (raw.find_first_not_of(" \t\r") == std::string::npos) continue;
        json j = json::parse(raw, nullptr, false);
        if (j.is_discarded()) return fail("not JSON");
        if (!j.is_object()) return fail("not a JSON object");
        if (j.contains("sent")) {  // a transaction from send --json
            std::string text;
            ByteString received;
            long long ackUs = -1;
            if (!TextField(j, "sent", text)) return fail("\"sent\" is not a text");
            if (!j.contains("received") || !j["received"].is_string() ||
                !ParseHex(j["received"].get<std::string>(), received)) {
                return fail("\"received\" is not hex bytes");
            }
            if (!OptionalMs(j, "answer_ms", ackUs)) return fail("\"answer_ms\" is not a time in ms");
            RecordedAnswer answer;
            SplitAtAck(received, answer);
            answer.headUs = ackUs < 0 ? 0 : ackUs;
            Add(text, answer);
            continue;
        }
        auto kindIt = j.find("kind");
        if (kindIt == j.end() || !kindIt->is_string()) {
            return fail("neither a transaction (\"sent\") nor a piece or an exchange (\"kind\")");
        }
        std::string kind = kindIt->get<std::string>();
        if (kind == "exchange") {
            exchanges = true;
            std::string text;
            ByteString bytes;
            long long ackUs = -1;
            long long replyUs = -1;
            if (!TextField(j, "request", text)) return fail("\"request\" is not a text");
            if (!j.contains("answer_hex") || !j["answer_hex"].is_string() ||
                !ParseHex(j["answer_hex"].get<std::string>(), bytes)) {
                return fail("\"answer_hex\" is not hex bytes");
            }
            if (!OptionalMs(j, "ack_ms", ackUs)) return fail("\"ack_ms\" is not a time in ms");
            if (!OptionalMs(j, "reply_ms", replyUs)) return fail("\"reply_ms\" is not a time in ms");
            RecordedAnswer answer;
            SplitAtAck(bytes, answer);
            answer.headUs = ackUs < 0 ? 0 : ackUs;
            answer.tailUs = replyUs;
            Add(text, answer);
            continue;
        }
        if (kind != "frame" && kind != "ack" && kind != "stray" && kind != "incomplete") {
            return fail("unknown kind \"" + kind + "\"");
        }
        Piece p;
        p.line = lineNo;
        p.kind = kind;
        if (j.contains("dir")) {
            const json& dir = j["dir"];
            if (dir == "host") {
                p.dir = 1;
            } else if (dir == "ctrl") {
                p.dir = 2;
            } else {
                return fail("\"dir\" is neither \"host\" nor \"ctrl\"");
            }
        }
        const char* firstKey = j.contains("first") ? "first" : "time";
        const char* lastKey = j.contains("last") ? "last" : firstKey;
        if (!j.contains(firstKey) || !j[firstKey].is_string() ||
            !ParseIsoMicros(j[firstKey].get<std::string>(), p.first)) {
            return fail("\"first\" is not a UTC time");
        }
        if (!j[lastKey].is_string() || !ParseIsoMicros(j[lastKey].get<std::string>(), p.last)) {
            return fail("\"last\" is not a UTC time");
        }
        if (!j.contains("hex") || !j["hex"].is_string() || !ParseHex(j["hex"].get<std::string>(), p.bytes)) {
            return fail("\"hex\" is not hex bytes");
        }
        if (kind == "frame") {
            if (!TextField(j, "text", p.text)) return fail("\"text\" is not a text");
            p.checksumOk = j.value("checksum", std::string()) == "ok";
        }
        pieces.push_back(p);
    }
    if (exchanges) return true;  // a tap recording: its exchanges already sum up its pieces

    // Pieces: a host frame, then the controller's bytes up to the next request.
    enum { NONE, AWAIT_ACK, AFTER_ACK };
    int state = NONE;
    std::string request;
    long long requestEnd = 0;
    RecordedAnswer answer;
    bool replySeen = false;
    bool expectsReply = false;
    ControllerState scratch;
    ControllerReset(scratch);
    auto close = [&] {
        if (state != NONE) Add(request, answer);
        state = NONE;
    };
    auto open = [&](const Piece& p) {
        close();
        request = p.text;
        requestEnd = p.last;
        answer = RecordedAnswer();
        replySeen = false;
        expectsReply = ExpectsReply(scratch, p.text);
        state = AWAIT_ACK;
    };
    auto keep = [&](const Piece& p) {
        if (state == AWAIT_ACK) {
            answer.head.insert(answer.head.end(), p.bytes.begin(), p.bytes.end());
            if (p.kind == "ack") {
                answer.headUs = std::max(0LL, p.last - requestEnd);
                state = AFTER_ACK;
            }
            return;
        }
        if (answer.tail.empty()) answer.tailUs = std::max(0LL, p.first - requestEnd);
        answer.tail.insert(answer.tail.end(), p.bytes.begin(), p.bytes.end());
    };
    for (const Piece& p : pieces) {
        bool frame = p.kind == "frame";
        if (p.dir == 1) {  // the host's side of a tap
            if (frame && p.checksumOk) {
                open(p);
            } else {
                close();  // the controller takes no damaged request
            }
            continue;
        }
        if (p.dir == 2) {
            if (state != NONE) keep(p);
            continue;
        }
        // One line, no direction: a frame is a request unless it is the reply an
        // acknowledged request waits for.
        if (frame && !(state == AFTER_ACK && expectsReply && !replySeen)) {
            if (p.checksumOk) {
                open(p);
            } else {
                close();
            }
            continue;
        }
        if (state == NONE) continue;
        keep(p);
        if (frame) replySeen = true;
    }
    close();
    if (entries_.empty()) {
        error = "line " + std::to_string(lineNo) + ": no request in the recording";
        return false;
    }
    return true;
}

// ---- Rules ------------------------------------------------------------------

bool Rules::Load(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::stringstream all;
    all << in.rdbuf();
    return Parse(all.str(), error);
}

bool Rules::Parse(const std::string& text, std::string& error) {
    rules_.clear();
    json j = json::parse(text, nullptr, false);
    if (j.is_discarded()) {
        error = "not JSON";
        return false;
    }
    if (!j.is_array()) {
        error = "not a JSON array of rules";
        return false;
    }
    int number = 0;
    for (const json& r : j) {
        ++number;
        auto fail = [&](const std::string& key, const std::string& why) {
            error = "rule " + std::to_string(number) + ": " + (key.empty() ? "" : Quoted(key) + ": ") + why;
            rules_.clear();
            return false;
        };
        if (!r.is_object()) return fail("", "not a JSON object");
        Rule rule;
        bool matchGiven = false;
        bool seedGiven = false;
        unsigned long long seed = 0;
        for (auto it = r.begin(); it != r.end(); ++it) {
            const std::string& key = it.key();
            const json& v = it.value();
            auto delay = [&](int& out) {
                if (!v.is_number_integer() || v.get<long long>() < 0 || v.get<long long>() > MAX_DELAY_MS) {
                    return fail(key, "wants a whole number of ms, 0.." + std::to_string(MAX_DELAY_MS));
                }
                out = v.get<int>();
                return true;
            };
            if (key == "match") {
                if (!v.is_string()) return fail(key, "wants a regular expression as a text");
                std::string pattern;
                if (!LatinBytes(v.get<std::string>(), pattern)) return fail(key, "has a character beyond U+00FF");
                try {
                    rule.match = std::regex(pattern, std::regex::ECMAScript);
                } catch (const std::regex_error& e) {
                    return fail(key, std::string("bad pattern: ") + e.what());
                }
                matchGiven = true;
            } else if (key == "reply") {
                rule.hasReply = true;
                if (v.is_null()) {
                    rule.replyNull = true;
                    continue;
                }
                if (!v.is_string() || !LatinBytes(v.get<std::string>(), rule.reply)) {
                    return fail(key, "wants a text (or null for the ACK alone)");
                }
                for (char c : rule.reply) {
                    if (c == '\0' || c == STX || c == ETX) return fail(key, "holds NUL, STX or ETX");
                }
                if (rule.reply.size() >= SIM_REPLY_BYTES) {
                    return fail(key, "longer than " + std::to_string(SIM_REPLY_BYTES - 1) + " bytes");
                }
            } else if (key == "ack_delay_ms") {
                if (!delay(rule.ackDelayMs)) return false;
            } else if (key == "reply_delay_ms") {
                if (!delay(rule.replyDelayMs)) return false;
            } else if (key == "fault") {
                static const char* const NAMES[] = {"no-ack", "bad-checksum", "cut", "noise"};
                rule.fault = -1;
                for (int i = 0; i < 4; ++i) {
                    if (v.is_string() && v.get<std::string>() == NAMES[i]) rule.fault = RULE_FAULT_NO_ACK + i;
                }
                if (rule.fault < 0) return fail(key, "wants one of no-ack, bad-checksum, cut, noise");
            } else if (key == "times") {
                if (!v.is_number_integer() || v.get<long long>() < 1) return fail(key, "wants a whole number from 1");
                rule.times = v.get<long long>();
            } else if (key == "fraction") {
                if (!v.is_number() || v.get<double>() < 0 || v.get<double>() > 1) {
                    return fail(key, "wants a number from 0 to 1");
                }
                rule.fraction = v.get<double>();
            } else if (key == "seed") {
                if (!v.is_number_unsigned()) return fail(key, "wants a whole number from 0");
                seed = v.get<unsigned long long>();
                seedGiven = true;
            } else {
                return fail(key, "unknown key (match, reply, ack_delay_ms, reply_delay_ms, fault, times, "
                                 "fraction, seed)");
            }
        }
        if (!matchGiven) return fail("match", "missing");
        if (rule.times >= 0 && rule.fraction >= 0) return fail("fraction", "either times or fraction, not both");
        if (seedGiven && rule.fraction < 0) return fail("seed", "only goes with fraction");
        rule.random.seed(seed);
        rules_.push_back(std::move(rule));
    }
    return true;
}

bool Rules::Take(const std::string& text, const char* usual, RuleAnswer& answer) {
    for (Rule& rule : rules_) {
        std::smatch m;
        if (!std::regex_search(text, m, rule.match)) continue;
        ++rule.matched;
        if (rule.times >= 0 && rule.matched > rule.times) continue;
        if (rule.fraction >= 0) {
            // 53 random bits as a number in [0, 1): the same on every platform.
            double draw = static_cast<double>(rule.random() >> 11) / 9007199254740992.0;
            if (draw >= rule.fraction) continue;
        }
        answer = RuleAnswer();
        if (rule.hasReply) {
            answer.hasReply = !rule.replyNull;
            if (answer.hasReply) answer.reply = m.format(rule.reply);
            if (answer.reply.size() >= SIM_REPLY_BYTES) answer.reply.resize(SIM_REPLY_BYTES - 1);
        } else if (usual != nullptr) {
            answer.hasReply = true;
            answer.reply = usual;
        }
        answer.ackDelayMs = rule.ackDelayMs;
        answer.replyDelayMs = rule.replyDelayMs;
        answer.fault = rule.fault;
        return true;
    }
    return false;
}
