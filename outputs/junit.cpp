#include "outputs/junit.h"

#include <cctype>
#include <cmath>

#include "commands/format.h"
#include "os/replacing_file.h"

namespace {

// The length of the UTF-8 character at `i` when it is one XML may carry as it
// is, else 0. C1 controls are allowed by XML but are line noise here, so shown.
size_t XmlCharLength(const std::string& s, size_t i) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    size_t n = 0;
    unsigned long cp = 0;
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
        cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        cp = b & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        unsigned char c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (c & 0x3F);
    }
    bool overlong = (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000);
    bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    if (overlong || surrogate || cp > 0x10FFFF || cp == 0xFFFE || cp == 0xFFFF || cp < 0xA0) return 0;
    return n;
}

std::string Seconds(double s) { return Format("%.3f", std::isfinite(s) && s > 0 ? s : 0.0); }

// JUnit readers take a timestamp to the second, with no zone: the first 19
// characters of an ISO 8601 time, or nothing when it is not one.
std::string Timestamp(const std::string& iso) {
    static const char pattern[] = "dddd-dd-ddTdd:dd:dd";
    if (iso.size() < 19) return "";
    for (size_t i = 0; i < 19; ++i) {
        bool digit = std::isdigit(static_cast<unsigned char>(iso[i])) != 0;
        if (pattern[i] == 'd' ? !digit : iso[i] != pattern[i]) return "";
    }
    return iso.substr(0, 19);
}

std::string Attr(const char* name, const std::string& value) {
    return std::string(" ") + name + "=\"" + XmlEscape(value, true) + "\"";
}

std::string Testcase(const SuiteResult& suite, const StepResult& step) {
    std::string out = "    <testcase" + Attr("classname", suite.name) + Attr("name", step.name) +
                      Attr("time", Seconds(step.seconds));
    std::string inner;
    const Judgement& j = step.judgement;
    if (!step.run) {
        inner += "      <skipped" + Attr("message", "not run: the run was stopped by Ctrl+C") + "/>\n";
    } else if (!j.pass) {
        const char* element = j.stopped ? "error" : "failure";
        inner += std::string("      <") + element + Attr("type", j.verdict.empty() ? "failed" : j.verdict) +
                 Attr("message", j.why) + ">" + XmlEscape(j.why, false) + "</" + element + ">\n";
    }
    if (!step.trace.empty()) {
        inner += "      <system-out>";
        for (size_t i = 0; i < step.trace.size(); ++i) inner += (i == 0 ? "" : "\n") + XmlEscape(step.trace[i], false);
        inner += "</system-out>\n";
    }
    if (inner.empty()) return out + "/>\n";
    return out + ">\n" + inner + "    </testcase>\n";
}

std::string CountAttrs(const RunCounts& c, double seconds) {
    return Attr("tests", std::to_string(c.Steps())) + Attr("failures", std::to_string(c.failed)) +
           Attr("errors", std::to_string(c.stopped)) + Attr("skipped", std::to_string(c.notRun)) +
           Attr("time", Seconds(seconds));
}

}  // namespace

std::string XmlEscape(const std::string& bytes, bool attribute) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
        char c = bytes[i];
        unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
            case '&': out += "&amp;"; continue;
            case '<': out += "&lt;"; continue;
            case '>': out += "&gt;"; continue;
            case '"': out += attribute ? "&quot;" : "\""; continue;
            // Kept as references: a parser turns a raw one into a space (attributes) or drops a CR.
            case '\r': out += "&#13;"; continue;
            case '\n': out += attribute ? "&#10;" : "\n"; continue;
            case '\t': out += attribute ? "&#9;" : "\t"; continue;
            default: break;
        }
        if (u >= 0x80) {
            size_t n = XmlCharLength(bytes, i);
            if (n == 0) {
                out += Format("\\x%02X", u);
            } else {
                out.append(bytes, i, n);
                i += n - 1;
            }
        } else if (u < 0x20 || u == 0x7F) {
            out += Format("\\x%02X", u);
        } else {
            out += c;
        }
    }
    return out;
}

std::string JunitXml(const std::vector<SuiteResult>& suites) {
    double total = 0;
    for (const SuiteResult& suite : suites) total += std::isfinite(suite.seconds) ? suite.seconds : 0;
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<testsuites" + Attr("name", "zantrox-cli run") + CountAttrs(CountRun(suites), total) + ">\n";
    for (const SuiteResult& suite : suites) {
        out += "  <testsuite" + Attr("name", suite.name) + CountAttrs(CountSuite(suite), suite.seconds);
        std::string stamp = Timestamp(suite.started);
        if (!stamp.empty()) out += Attr("timestamp", stamp);
        out += ">\n";
        for (const StepResult& step : suite.steps) out += Testcase(suite, step);
        out += "  </testsuite>\n";
    }
    return out + "</testsuites>\n";
}

bool WriteJunitFile(const std::string& path, const std::vector<SuiteResult>& suites, std::string& error) {
    std::string xml = JunitXml(suites);
    ReplacingFile file;
    if (!file.Create(path, error)) return false;
    if (!file.Write(xml.data(), xml.size(), error)) return false;  // the destructor removes the new file
    return file.Commit(error);
}
