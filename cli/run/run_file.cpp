#include "cli/run/run_file.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

// Header-only, and without the wide-string extras, so the Windows build needs
// nothing beyond the headers.
#define TOML_HEADER_ONLY 1
#define TOML_ENABLE_WINDOWS_COMPAT 0
#include <toml++/toml.h>

#include "listen/port_options.h"
#include "events/verdicts.h"
#include "commands/command_lookup.h"
#include "os/replacing_file.h"
#include "commands/dispatch.h"
#include "link/transaction.h"

namespace {

const char* const SuiteKeys[] = {"name", "pump", "port", "baud", "step"};
const char* const StepKeys[] = {"name",  "send",   "text",          "wait_ms",   "reply_expected", "pump",
                                "yes",   "expect", "reply",         "ack_within_ms", "within_ms",  "repeat"};

template <size_t N>
bool Known(const char* const (&keys)[N], const std::string& key) {
    return std::find_if(std::begin(keys), std::end(keys), [&](const char* k) { return key == k; }) != std::end(keys);
}

template <size_t N>
std::string KeyList(const char* const (&keys)[N]) {
    std::string list;
    for (size_t i = 0; i < N; ++i) list += std::string(i == 0 ? "" : ", ") + keys[i];
    return list;
}

// A value from the file, quoted for a message: control bytes as \xNN so a problem stays on one line.
std::string Shown(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        } else {
            out += c;
        }
    }
    return out + "'";
}

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

struct Problem {
    int line;
    int column;
    std::string text;
};

class Checker {
public:
    void Add(const toml::source_region& where, const std::string& text) {
        problems_.push_back({static_cast<int>(where.begin.line), static_cast<int>(where.begin.column), text});
    }
    void Add(int line, int column, const std::string& text) { problems_.push_back({line, column, text}); }
    bool Empty() const { return problems_.empty(); }

    // In the order of the file, each as "PATH:LINE:COLUMN: text".
    void Flush(const std::string& path, std::vector<std::string>& out) {
        std::stable_sort(problems_.begin(), problems_.end(), [](const Problem& a, const Problem& b) {
            return a.line != b.line ? a.line < b.line : a.column < b.column;
        });
        for (const Problem& p : problems_) {
            out.push_back(path + ":" + std::to_string(p.line) + ":" + std::to_string(p.column) + ": " + p.text);
        }
    }

private:
    std::vector<Problem> problems_;
};

// Reads the typed values of one table, saying what is wrong where.
class Reader {
public:
    Reader(const toml::table& table, Checker& check) : table_(table), check_(check) {}

    bool Has(const char* key) const { return table_.get(key) != nullptr; }
    const toml::source_region& ValueAt(const char* key) const { return table_.get(key)->source(); }
    const toml::source_region& KeyAt(const char* key) const { return table_.find(key)->first.source(); }

    // A whole number lo..hi; false when absent or wrong (said).
    bool Integer(const char* key, long long lo, long long hi, long long& out) {
        const toml::node* node = table_.get(key);
        if (node == nullptr) return false;
        const toml::value<int64_t>* value = node->as_integer();
        if (value == nullptr) {
            check_.Add(node->source(), std::string(key) + " must be a whole number " + std::to_string(lo) + ".." +
                                           std::to_string(hi));
            return false;
        }
        if (value->get() < lo || value->get() > hi) {
            check_.Add(node->source(), std::string(key) + " = " + std::to_string(value->get()) + " is out of range " +
                                           std::to_string(lo) + ".." + std::to_string(hi));
            return false;
        }
        out = value->get();
        return true;
    }

    // A time in milliseconds, above 0 and at most `most`; fractions allowed.
    bool Milliseconds(const char* key, double most, double& out) {
        const toml::node* node = table_.get(key);
        if (node == nullptr) return false;
        double ms = 0;
        if (const auto* i = node->as_integer()) {
            ms = static_cast<double>(i->get());
        } else if (const auto* f = node->as_floating_point()) {
            ms = f->get();
        } else {
            check_.Add(node->source(), std::string(key) + " must be a number of milliseconds");
            return false;
        }
        if (!(ms > 0 && ms <= most)) {  // NaN fails too
            check_.Add(node->source(), std::string(key) + " = " + Number(ms) + " is out of range: above 0 and at most " +
                                           Number(most) + " ms");
            return false;
        }
        out = ms;
        return true;
    }

    bool String(const char* key, std::string& out) {
        const toml::node* node = table_.get(key);
        if (node == nullptr) return false;
        const toml::value<std::string>* value = node->as_string();
        if (value == nullptr) {
            check_.Add(node->source(), std::string(key) + " must be a string in quotes");
            return false;
        }
        out = value->get();
        return true;
    }

    bool Boolean(const char* key, bool& out) {
        const toml::node* node = table_.get(key);
        if (node == nullptr) return false;
        const toml::value<bool>* value = node->as_boolean();
        if (value == nullptr) {
            check_.Add(node->source(), std::string(key) + " must be true or false");
            return false;
        }
        out = value->get();
        return true;
    }

private:
    const toml::table& table_;
    Checker& check_;
};

bool AnyReply(const CatalogueItem& item) {
    ConsoleSettings settings{DEFAULT_PUMP_NUMBER, DEFAULT_PRESET_AMOUNT, DEFAULT_PRICE_BASE, DEFAULT_COM_PORT,
                             DEFAULT_BAUD_RATE};
    for (const PlannedMessage& m : PlannedMessages(item, settings)) {
        if (m.reply != 0) return true;
    }
    return false;
}

// Why a catalogue item cannot be a step, or nullptr. The same refusals as send's,
// in a run file's words.
std::string Refusal(const CatalogueItem& item, bool yes) {
    switch (item.action->kind) {
        case ACTION_RESTART:
            return "is refused in a run: the port is opened once, from port and baud (or --port and --baud)";
        case ACTION_EXIT: return "is refused in a run: there is no window to close";
        case ACTION_TOGGLE_LOOP: return "(Loop on Status) is refused in a run: give key:S a repeat instead";
        case ACTION_PLACEHOLDER: return PlaceholderText;
        case ACTION_CONFIRMED_MESSAGE:
            return yes ? "" : "asks \"ARE YOU SURE?\" in the console: give yes = true in this step to send it";
        case ACTION_NONE: return "does nothing (as in the console): there is nothing to send or judge";
        default: return "";
    }
}

// A verdict that comes without any reply, so a reply pattern cannot match.
bool VerdictWithoutReply(const std::string& verdict) { return verdict == "no-ack" || verdict == "line-never-quiet"; }

void ReadStep(const toml::node& node, Checker& check, std::vector<RunStep>& steps) {
    const toml::table* table = node.as_table();
    if (table == nullptr) {
        check.Add(node.source(), "step must be a table: write [[step]] with its keys on the lines below");
        return;
    }
    RunStep step;
    step.line = static_cast<int>(table->source().begin.line);
    step.column = static_cast<int>(table->source().begin.column);
    Reader read(*table, check);
    for (auto&& [key, value] : *table) {
        if (!Known(StepKeys, std::string(key.str()))) {
            check.Add(key.source(), "unknown key '" + std::string(key.str()) + "' in a step (a step takes " +
                                        KeyList(StepKeys) + ")");
        }
    }

    // What the step is: exactly one of send, text and wait_ms.
    std::vector<const char*> kinds;
    for (const char* key : {"send", "text", "wait_ms"}) {
        if (read.Has(key)) kinds.push_back(key);
    }
    bool ok = true;
    if (kinds.empty()) {
        check.Add(step.line, step.column, "a step needs one of send, text or wait_ms");
        ok = false;
    } else if (kinds.size() > 1) {
        check.Add(read.KeyAt(kinds[1]), std::string("a step takes one of send, text and wait_ms, not both ") +
                                            kinds[0] + " and " + kinds[1]);
        ok = false;
    }

    std::string name;
    if (read.String("name", name)) {
        if (name.empty()) {
            check.Add(read.ValueAt("name"), "name is empty");
            ok = false;
        }
        step.name = name;
    }
    read.Boolean("yes", step.yes);
    long long number = 0;
    if (read.Integer("pump", 1, RUN_PUMP_MOST, number)) step.pump = static_cast<int>(number);
    if (read.Integer("repeat", 1, RUN_REPEAT_MOST, number)) step.repeat = static_cast<int>(number);
    read.Milliseconds("ack_within_ms", RUN_ACK_WITHIN_MOST_MS, step.ackWithinMs);
    read.Milliseconds("within_ms", RUN_WITHIN_MOST_MS, step.withinMs);
    std::string expect;
    if (read.String("expect", expect)) {
        const std::vector<std::string>& names = RunVerdictNames();
        if (std::find(names.begin(), names.end(), expect) == names.end()) {
            std::string list;
            for (const std::string& n : names) list += (list.empty() ? "" : ", ") + n;
            check.Add(read.ValueAt("expect"), "expect = " + Shown(expect) + " is not a verdict; use one of " + list);
        } else {
            step.expect = expect;
        }
    }
    if (read.String("reply", step.replyPattern)) {
        try {
            step.reply.emplace(step.replyPattern, std::regex::ECMAScript);
        } catch (const std::regex_error& e) {
            check.Add(read.ValueAt("reply"), "reply " + Shown(step.replyPattern) +
                                                 " is not a regular expression: " + e.what());
        }
    }
    bool hasReplyExpected = read.Boolean("reply_expected", step.replyExpected);
    if (read.Has("reply_expected") && !read.Has("text")) {
        check.Add(read.KeyAt("reply_expected"), "reply_expected goes with text");
    }

    if (ok && kinds[0] == std::string("wait_ms")) {
        step.kind = STEP_WAIT;
        long long ms = 0;
        if (read.Integer("wait_ms", 1, RUN_WAIT_MOST_MS, ms)) step.waitMs = static_cast<int>(ms);
        if (step.name.empty()) step.name = "wait " + std::to_string(step.waitMs) + " ms";
        for (const char* key : {"pump", "yes", "expect", "reply", "ack_within_ms", "within_ms", "repeat"}) {
            if (read.Has(key)) check.Add(read.KeyAt(key), std::string(key) + " means nothing on a wait step");
        }
        steps.push_back(step);
        return;
    }
    if (ok && kinds[0] == std::string("text")) {
        step.kind = STEP_TEXT;
        if (read.String("text", step.text)) {
            std::string why = UnframableReason(step.text);
            if (!why.empty()) check.Add(read.ValueAt("text"), "text cannot be sent: " + why);
        }
        if (!read.Has("reply_expected")) {
            check.Add(read.KeyAt("text"), "a text step needs reply_expected = true or false");
        }
        if (read.Has("yes")) check.Add(read.KeyAt("yes"), "yes means nothing on a text step");
        if (hasReplyExpected && !step.replyExpected && read.Has("reply")) {
            check.Add(read.KeyAt("reply"), "reply: with reply_expected = false no reply is read, so none can match");
        }
        if (step.name.empty()) step.name = (step.replyExpected ? "text+:" : "text:") + step.text;
    }
    if (ok && kinds[0] == std::string("send")) {
        step.kind = STEP_SEND;
        if (read.String("send", step.command)) {
            RawMessage raw;
            std::string why;
            RawForm form = ParseRawMessage(step.command, raw, why);
            if (form == RAW_BAD) {
                check.Add(read.ValueAt("send"), "send " + Shown(step.command) + " cannot be sent: " + why);
            } else if (form == RAW_OK) {
                // The command line's raw form, in a file too: the reply flag is in the prefix.
                step.kind = STEP_TEXT;
                step.text = raw.text;
                step.replyExpected = raw.reply;
                if (!step.replyExpected && read.Has("reply")) {
                    check.Add(read.KeyAt("reply"), "reply: text: expects no reply, so none can match");
                }
            } else {
                step.item = FindCommand(step.command);
                if (step.item == nullptr) {
                    check.Add(read.ValueAt("send"), UnknownCommandText(step.command));
                } else {
                    std::string refused = Refusal(*step.item, step.yes);
                    if (!refused.empty()) check.Add(read.ValueAt("send"), step.command + ": " + refused);
                }
            }
            if (step.name.empty()) step.name = step.command;
        }
        if (step.IsSettingStep()) {
            for (const char* key : {"pump", "yes", "expect", "reply", "ack_within_ms", "within_ms", "repeat"}) {
                if (read.Has(key)) {
                    check.Add(read.KeyAt(key), std::string(key) + " means nothing on a settings item: " +
                                                   step.command + " only changes the settings for the steps after it");
                }
            }
        } else if (step.item != nullptr && read.Has("reply") && !AnyReply(*step.item)) {
            check.Add(read.KeyAt("reply"), "reply: " + step.command + " expects no reply, so none can match");
        }
    }
    if (read.Has("reply") && VerdictWithoutReply(step.expect)) {
        check.Add(read.KeyAt("reply"), "reply: with expect = " + step.expect + " no reply comes, so none can match");
    }
    if (read.Has("ack_within_ms") && step.expect == "no-ack") {
        check.Add(read.KeyAt("ack_within_ms"), "ack_within_ms: with expect = no-ack no ACK comes to be timed");
    }
    steps.push_back(step);
}

// A repeated name gets " #2", " #3": reports tell steps apart by name.
void MakeNamesDistinct(std::vector<RunStep>& steps) {
    std::map<std::string, int> seen;
    for (RunStep& step : steps) {
        int n = ++seen[step.name];
        if (n > 1) step.name += " #" + std::to_string(n);
    }
}

}  // namespace

const std::vector<std::string>& RunVerdictNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> list;
        for (int v = VERDICT_OK; v <= VERDICT_STOPPED; ++v) list.push_back(VerdictName(v));
        return list;
    }();
    return names;
}

bool ParseRunText(const std::string& content, const std::string& path, const RunOverrides& overrides,
                  RunSuite& suite, std::vector<std::string>& problems) {
    suite = RunSuite();
    suite.path = path;
    suite.name = std::filesystem::path(path).filename().string();
    Checker check;
    toml::table root;
    try {
        root = toml::parse(content, path);
    } catch (const toml::parse_error& e) {
        check.Add(e.source(), std::string(e.description()));
        check.Flush(path, problems);
        return false;
    }

    for (auto&& [key, value] : root) {
        if (!Known(SuiteKeys, std::string(key.str()))) {
            check.Add(key.source(), "unknown key '" + std::string(key.str()) + "' (a file takes " + KeyList(SuiteKeys) +
                                        ", and each [[step]] its own)");
        }
    }
    Reader read(root, check);
    std::string name;
    if (read.String("name", name)) {
        if (name.empty()) {
            check.Add(read.ValueAt("name"), "name is empty");
        } else {
            suite.name = name;
        }
    }
    long long number = 0;
    if (read.Integer("pump", 1, RUN_PUMP_MOST, number)) suite.pump = static_cast<int>(number);
    if (overrides.pump) suite.pump = *overrides.pump;
    if (read.Has("baud")) {
        suite.baudLine = static_cast<int>(read.KeyAt("baud").begin.line);
        suite.baudColumn = static_cast<int>(read.KeyAt("baud").begin.column);
        if (read.Integer("baud", 0, 1000000000, number)) {
            if (number != 2400 && number != 4800 && number != 9600 && number != 19200) {
                check.Add(read.ValueAt("baud"), "baud = " + std::to_string(number) + " is not 2400, 4800, 9600 or 19200");
            } else {
                suite.baud = static_cast<int>(number);
            }
        }
    }
    if (overrides.baud) suite.baud = *overrides.baud;
    if (read.String("port", suite.port)) {
        suite.portLine = static_cast<int>(read.KeyAt("port").begin.line);
        suite.portColumn = static_cast<int>(read.KeyAt("port").begin.column);
        int comPort = 0;
        std::string device;
        std::string error;
        if (suite.port.empty()) {
            check.Add(read.ValueAt("port"), "port is empty");
        } else if (ResolvePortOption(suite.port, comPort, device, error) != 0) {
            // Its words name the option; here it is the file's key.
            if (error.rfind("--port: ", 0) == 0) error.erase(0, 8);
            check.Add(read.ValueAt("port"), "port: " + error);
        }
    }
    if (overrides.port) suite.port = *overrides.port;

    const toml::node* steps = root.get("step");
    if (steps == nullptr) {
        check.Add(1, 1, "no [[step]]: there is nothing to run");
    } else if (const toml::array* list = steps->as_array()) {
        for (const toml::node& node : *list) ReadStep(node, check, suite.steps);
        if (list->empty()) check.Add(steps->source(), "no [[step]]: there is nothing to run");
    } else {
        check.Add(steps->source(), "step must be a list of tables: write each as [[step]]");
    }
    MakeNamesDistinct(suite.steps);

    if (check.Empty()) return true;
    check.Flush(path, problems);
    return false;
}

bool LoadRunFile(const std::string& path, const RunOverrides& overrides, RunSuite& suite,
                 std::vector<std::string>& problems) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        int error = errno;
        problems.push_back(path + ": cannot be read: " + FileErrorReason(error != 0 ? error : ENOENT));
        return false;
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) {
        problems.push_back(path + ": cannot be read: " + FileErrorReason(EIO));
        return false;
    }
    return ParseRunText(content.str(), path, overrides, suite, problems);
}

bool SharedLine(const std::vector<RunSuite>& suites, const RunOverrides& overrides, std::string& port, int& baud,
                std::vector<std::string>& problems) {
    bool agree = true;
    const RunSuite* portFrom = nullptr;
    const RunSuite* baudFrom = nullptr;
    for (const RunSuite& suite : suites) {
        if (!overrides.port && suite.portLine > 0) {
            if (portFrom == nullptr) {
                portFrom = &suite;
            } else if (suite.port != portFrom->port) {
                problems.push_back(suite.path + ":" + std::to_string(suite.portLine) + ":" +
                                   std::to_string(suite.portColumn) + ": port " + Shown(suite.port) + " is not " +
                                   portFrom->path + "'s " + Shown(portFrom->port) +
                                   ": the files run on one open port (--port settles it)");
                agree = false;
            }
        }
        if (!overrides.baud && suite.baudLine > 0) {
            if (baudFrom == nullptr) {
                baudFrom = &suite;
            } else if (suite.baud != baudFrom->baud) {
                problems.push_back(suite.path + ":" + std::to_string(suite.baudLine) + ":" +
                                   std::to_string(suite.baudColumn) + ": baud " + std::to_string(suite.baud) +
                                   " is not " + baudFrom->path + "'s " + std::to_string(baudFrom->baud) +
                                   ": the files run on one open port (--baud settles it)");
                agree = false;
            }
        }
    }
    port = overrides.port ? *overrides.port : portFrom != nullptr ? portFrom->port : "";
    baud = overrides.baud ? *overrides.baud : baudFrom != nullptr ? baudFrom->baud : DEFAULT_BAUD_RATE;
    return agree;
}
