// zantrox-cli run: run files checked before anything is sent, steps judged from
// their transactions, and the results as text lines and as JUnit XML.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "commands/command_lookup.h"
#include "cli/run/judge.h"
#include "outputs/junit.h"
#include "cli/run/run_file.h"
#include "cli/run/run_text.h"
#include "tests/support/files.h"
#include "tests/support/junit_schema.h"
#include "tests/support/scratch_folder.h"

namespace {

// The problems of a file named suite.toml holding `content`.
std::vector<std::string> Problems(const std::string& content, const RunOverrides& overrides = {}) {
    RunSuite suite;
    std::vector<std::string> problems;
    bool ok = ParseRunText(content, "suite.toml", overrides, suite, problems);
    EXPECT_EQ(ok, problems.empty());
    return problems;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

RunSuite Loaded(const std::string& content, const RunOverrides& overrides = {}) {
    RunSuite suite;
    std::vector<std::string> problems;
    EXPECT_TRUE(ParseRunText(content, "dir/suite.toml", overrides, suite, problems)) << Joined(problems);
    return suite;
}

const char SendStep[] = "[[step]]\nsend = \"key:S\"\n";

}  // namespace

// ---- A bad file: every problem, where it is, and nothing loaded --------------------------------

TEST(RunFileProblems, UnknownKeysAreNamedAtTheKey) {
    EXPECT_EQ(Problems("nmae = \"x\"\n[[step]]\nsend = \"key:S\"\n  expct = \"ok\"\n"),
              (std::vector<std::string>{
                  "suite.toml:1:1: unknown key 'nmae' (a file takes name, pump, port, baud, step, and each [[step]] its own)",
                  "suite.toml:4:3: unknown key 'expct' in a step (a step takes name, send, text, wait_ms, reply_expected, "
                  "pump, yes, expect, reply, ack_within_ms, within_ms, repeat)"}));
}

TEST(RunFileProblems, UnknownCommandSuggestsTheClosestPathsAsSendDoes) {
    std::vector<std::string> p = Problems("[[step]]\nsend = \"pump/sale/reed\"\n");
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0], "suite.toml:2:8: unknown command 'pump/sale/reed'; did you mean 'Pump/Sale/Read', 'Pump/Sale/Clear' "
                    "or 'Pump/Sale/Extended'? ('zantrox-cli list' shows them all)");
}

TEST(RunFileProblems, ConfirmedCommandNeedsYesAndRefusedItemsAreRefused) {
    EXPECT_EQ(Problems("[[step]]\nsend = \"Pump/RESET\"\n"),
              (std::vector<std::string>{"suite.toml:2:8: Pump/RESET: asks \"ARE YOU SURE?\" in the console: give yes = "
                                        "true in this step to send it"}));
    EXPECT_TRUE(Problems("[[step]]\nsend = \"Pump/RESET\"\nyes = true\n").empty());
    for (const char* refused : {"File/Serial Port Setup/Restart", "File/Exit", "key:L", "Reader/Packet/Read",
                                "Pump/BLEND/Hose1"}) {
        std::vector<std::string> p = Problems(std::string("[[step]]\nsend = \"") + refused + "\"\n");
        ASSERT_EQ(p.size(), 1u) << refused;
        EXPECT_EQ(p[0].rfind(std::string("suite.toml:2:8: ") + refused + ": ", 0), 0u) << p[0];
    }
}

TEST(RunFileProblems, BadRegularExpressionIsNamedAtItsValue) {
    std::vector<std::string> p = Problems("[[step]]\nsend = \"key:S\"\nreply = '^I{32$('\n");
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].rfind("suite.toml:3:9: reply '^I{32$(' is not a regular expression: ", 0), 0u) << p[0];
}

TEST(RunFileProblems, ValuesOutOfRangeOrOfTheWrongType) {
    std::vector<std::string> p = Problems(
        "pump = 33\nbaud = 1200\nport = \"0\"\n"
        "[[step]]\nsend = \"key:S\"\npump = 0\nrepeat = 0\nack_within_ms = 0\nwithin_ms = 600001\n"
        "[[step]]\nsend = \"key:S\"\npump = 3.0\nrepeat = \"2\"\nwithin_ms = nan\nyes = 1\n"
        "[[step]]\nwait_ms = -5\n"
        "[[step]]\nwait_ms = 2.5\n");
    EXPECT_EQ(p, (std::vector<std::string>{
                     "suite.toml:1:8: pump = 33 is out of range 1..32",
                     "suite.toml:2:8: baud = 1200 is not 2400, 4800, 9600 or 19200",
                     "suite.toml:3:8: port: COM number 0 is not 1..9",
                     "suite.toml:6:8: pump = 0 is out of range 1..32",
                     "suite.toml:7:10: repeat = 0 is out of range 1..100000",
                     "suite.toml:8:17: ack_within_ms = 0 is out of range: above 0 and at most 60000 ms",
                     "suite.toml:9:13: within_ms = 600001 is out of range: above 0 and at most 600000 ms",
                     "suite.toml:12:8: pump must be a whole number 1..32",
                     "suite.toml:13:10: repeat must be a whole number 1..100000",
                     "suite.toml:14:13: within_ms = nan is out of range: above 0 and at most 600000 ms",
                     "suite.toml:15:7: yes must be true or false",
                     "suite.toml:17:11: wait_ms = -5 is out of range 1..3600000",
                     "suite.toml:19:11: wait_ms must be a whole number 1..3600000",
                 }));
}

TEST(RunFileProblems, StepShapeTextWithoutReplyFlagAndNoneOrTwoKinds) {
    EXPECT_EQ(Problems("[[step]]\ntext = \"B07C\"\n[[step]]\nname = \"nothing\"\n"
                       "[[step]]\nsend = \"key:S\"\nwait_ms = 5\n[[step]]\nsend = \"key:S\"\nreply_expected = true\n"),
              (std::vector<std::string>{
                  "suite.toml:2:1: a text step needs reply_expected = true or false",
                  "suite.toml:3:1: a step needs one of send, text or wait_ms",
                  "suite.toml:7:1: a step takes one of send, text and wait_ms, not both send and wait_ms",
                  "suite.toml:10:1: reply_expected goes with text",
              }));
}

TEST(RunFileProblems, TextsThatCannotBeFramed) {
    std::string longest(999, 'K');
    EXPECT_TRUE(Problems("[[step]]\ntext = \"" + longest + "\"\nreply_expected = false\n").empty());
    std::vector<std::string> p = Problems(
        "[[step]]\ntext = \"B07\\u0000C\"\nreply_expected = false\n"
        "[[step]]\ntext = \"B\\u000207C\"\nreply_expected = false\n"
        "[[step]]\ntext = \"B07\\u0003\"\nreply_expected = false\n"
        "[[step]]\ntext = \"" + longest + "K\"\nreply_expected = false\n"
        "[[step]]\ntext = \"\"\nreply_expected = false\n"
        "[[step]]\nsend = \"text:B\\u000307C\"\n");
    EXPECT_EQ(p, (std::vector<std::string>{
                     "suite.toml:2:8: text cannot be sent: the text holds a NUL byte, which cannot be sent",
                     "suite.toml:5:8: text cannot be sent: the text holds STX (0x02), which would start a new frame",
                     "suite.toml:8:8: text cannot be sent: the text holds ETX (0x03), which would end the frame there",
                     "suite.toml:11:8: text cannot be sent: the text is 1000 bytes; a message holds at most 999",
                     "suite.toml:14:8: text cannot be sent: the text is empty",
                     "suite.toml:17:8: send 'text:B\\x0307C' cannot be sent: the text holds ETX (0x03), which would "
                     "end the frame there",
                 }));
}

TEST(RunFileProblems, KeysThatCanNeverBeMetOnTheirStep) {
    EXPECT_EQ(Problems("[[step]]\nsend = \"PUMP#/7\"\nreply = 'x'\nrepeat = 2\n"
                       "[[step]]\nwait_ms = 10\nexpect = \"ok\"\n"
                       "[[step]]\nsend = \"Pump/Sale/Clear\"\nreply = 'x'\n"
                       "[[step]]\ntext = \"B07C\"\nreply_expected = false\nreply = 'x'\n"
                       "[[step]]\nsend = \"key:S\"\nexpect = \"no-ack\"\nreply = 'x'\nack_within_ms = 5\n"
                       "[[step]]\nsend = \"key:S\"\nexpect = \"fine\"\n"),
              (std::vector<std::string>{
                  "suite.toml:3:1: reply means nothing on a settings item: PUMP#/7 only changes the settings for the "
                  "steps after it",
                  "suite.toml:4:1: repeat means nothing on a settings item: PUMP#/7 only changes the settings for the "
                  "steps after it",
                  "suite.toml:7:1: expect means nothing on a wait step",
                  "suite.toml:10:1: reply: Pump/Sale/Clear expects no reply, so none can match",
                  "suite.toml:14:1: reply: with reply_expected = false no reply is read, so none can match",
                  "suite.toml:18:1: reply: with expect = no-ack no reply comes, so none can match",
                  "suite.toml:19:1: ack_within_ms: with expect = no-ack no ACK comes to be timed",
                  "suite.toml:22:10: expect = 'fine' is not a verdict; use one of ok, no-ack, checksum-error, "
                  "incomplete, line-never-quiet, reply-without-end, stopped",
              }));
}

TEST(RunFileProblems, NoStepsSyntaxErrorsAndUnreadableFiles) {
    EXPECT_EQ(Problems("name = \"x\"\n"), (std::vector<std::string>{"suite.toml:1:1: no [[step]]: there is nothing to run"}));
    EXPECT_EQ(Problems("step = 3\n"),
              (std::vector<std::string>{"suite.toml:1:8: step must be a list of tables: write each as [[step]]"}));
    std::vector<std::string> p = Problems("[[step]]\nsend = \"key:S\"\nsend = \"key:R\"\n");
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].rfind("suite.toml:3:", 0), 0u) << p[0];

    RunSuite suite;
    std::vector<std::string> problems;
    EXPECT_FALSE(LoadRunFile("/nonexistent/run.toml", {}, suite, problems));
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].rfind("/nonexistent/run.toml: cannot be read: ", 0), 0u) << problems[0];
}

TEST(RunFileProblems, FilesThatNameDifferentLinesClashUnlessTheCommandLineSettlesIt) {
    RunSuite a = Loaded(std::string("port = \"COM1\"\nbaud = 9600\n") + SendStep);
    RunSuite b = Loaded(std::string("pump = 2\n") + SendStep);
    RunSuite c = Loaded(std::string("baud = 4800\nport = \"COM2\"\n") + SendStep);
    a.path = "a.toml";
    c.path = "c.toml";
    std::string port;
    int baud = 0;
    std::vector<std::string> problems;
    EXPECT_TRUE(SharedLine({a, b}, {}, port, baud, problems));
    EXPECT_EQ(port, "COM1");
    EXPECT_EQ(baud, 9600);
    EXPECT_FALSE(SharedLine({a, b, c}, {}, port, baud, problems));
    EXPECT_EQ(problems, (std::vector<std::string>{
                            "c.toml:2:1: port 'COM2' is not a.toml's 'COM1': the files run on one open port (--port "
                            "settles it)",
                            "c.toml:1:1: baud 4800 is not a.toml's 9600: the files run on one open port (--baud settles it)",
                        }));
    problems.clear();
    RunOverrides line;
    line.port = "3";
    line.baud = 19200;
    EXPECT_TRUE(SharedLine({a, b, c}, line, port, baud, problems));
    EXPECT_EQ(port, "3");
    EXPECT_EQ(baud, 19200);
}

// ---- A good file: the model the runner gets ------------------------------------------------------

TEST(RunFileModel, EveryKeyLandsInTheModel) {
    RunSuite s = Loaded(
        "name = \"Sale cycle\"\npump = 7\nport = \"COM2\"\nbaud = 4800\n"
        "[[step]]\nname = \"status\"\nsend = \"Pump/Status/Extended\"\nexpect = \"no-ack\"\nwithin_ms = 300.5\nrepeat = 3\n"
        "[[step]]\nsend = \"Pump/ERROR/FLUSH\"\npump = 3\nyes = true\nreply = 'I'\nack_within_ms = 0.5\n"
        "[[step]]\ntext = \"B07R\"\nreply_expected = true\nreply = 'B07R.*'\n"
        "[[step]]\nwait_ms = 500\n"
        "[[step]]\nsend = \"PUMP#/9\"\n");
    EXPECT_EQ(s.name + s.port + std::to_string(s.pump) + "/" + std::to_string(s.baud), "Sale cycleCOM27/4800");
    ASSERT_EQ(s.steps.size(), 5u);

    const RunStep& status = s.steps[0];
    EXPECT_EQ(status.line, 5);
    EXPECT_EQ(status.item, FindCommand("Pump/Status/Extended"));
    EXPECT_EQ(status.expect, "no-ack");
    EXPECT_DOUBLE_EQ(status.withinMs, 300.5);
    EXPECT_EQ(status.repeat, 3);

    const RunStep& reset = s.steps[1];
    EXPECT_EQ(reset.name, "Pump/ERROR/FLUSH");
    EXPECT_EQ(reset.pump, 3);
    ASSERT_TRUE(reset.reply.has_value());
    EXPECT_TRUE(std::regex_match(std::string("I"), *reset.reply));
    EXPECT_FALSE(std::regex_match(std::string("II"), *reset.reply)) << "the pattern matches whole";
    EXPECT_DOUBLE_EQ(reset.ackWithinMs, 0.5);

    const RunStep& text = s.steps[2];
    EXPECT_EQ(text.kind, STEP_TEXT);
    EXPECT_TRUE(text.replyExpected);
    EXPECT_EQ(text.name, "text+:B07R");
    EXPECT_EQ(s.steps[3].waitMs, 500);
    EXPECT_EQ(s.steps[3].name, "wait 500 ms");
    EXPECT_TRUE(s.steps[4].IsSettingStep());
    EXPECT_FALSE(s.steps[0].IsSettingStep());
}

TEST(RunFileModel, DefaultsOverridesAndNames) {
    RunSuite plain = Loaded(std::string(SendStep) + SendStep + "[[step]]\nsend = \"text:B07C\"\n" + SendStep);
    EXPECT_EQ(plain.name, "suite.toml");
    ASSERT_EQ(plain.steps.size(), 4u);
    EXPECT_EQ(plain.steps[0].name, "key:S");
    EXPECT_EQ(plain.steps[1].name, "key:S #2");
    EXPECT_EQ(plain.steps[3].name, "key:S #3");
    EXPECT_EQ(plain.steps[2].kind, STEP_TEXT);
    EXPECT_EQ(plain.steps[2].text, "B07C");
    EXPECT_FALSE(plain.steps[2].replyExpected);

    RunOverrides line;
    line.pump = 12;
    line.port = "/dev/ttyUSB0";
    line.baud = 2400;
    RunSuite overridden =
        Loaded(std::string("pump = 7\nport = \"COM1\"\nbaud = 9600\n") + "[[step]]\nsend = \"key:S\"\npump = 3\n", line);
    EXPECT_EQ(overridden.port + " " + std::to_string(overridden.pump) + " " + std::to_string(overridden.baud),
              "/dev/ttyUSB0 12 2400");
    EXPECT_EQ(overridden.steps[0].pump, 3) << "a step's own pump is not the file's default";
}

TEST(RunFileModel, TheExamplesAndTheReadmeExampleLoad) {
    const std::filesystem::path root = ZANTROX_SOURCE_DIR;
    int examples = 0;
    for (const auto& entry : std::filesystem::directory_iterator(root / "examples")) {
        if (entry.path().extension() != ".toml") continue;
        ++examples;
        RunSuite suite;
        std::vector<std::string> problems;
        EXPECT_TRUE(LoadRunFile(entry.path().string(), {}, suite, problems)) << Joined(problems);
        EXPECT_FALSE(suite.steps.empty());
    }
    EXPECT_GE(examples, 3);

    std::string readme = testsupport::ReadWholeFile((root / "README.md").string());
    size_t section = readme.find("### Acceptance runs");
    ASSERT_NE(section, std::string::npos);
    size_t begin = readme.find("```toml\n", section);
    ASSERT_NE(begin, std::string::npos);
    begin += 8;
    size_t end = readme.find("```", begin);
    RunSuite suite;
    std::vector<std::string> problems;
    EXPECT_TRUE(ParseRunText(readme.substr(begin, end - begin), "README.md", {}, suite, problems)) << Joined(problems);
    EXPECT_EQ(suite.steps.size(), 5u);
}

// ---- send's raw form ---------------------------------------------------------------------------

TEST(RawMessageForm, TextAndTextPlusCarryTheReplyFlagAndTheTextAsItStands) {
    RawMessage m;
    std::string error;
    EXPECT_EQ(ParseRawMessage("text:B07C", m, error), RAW_OK);
    EXPECT_EQ(m.text, "B07C");
    EXPECT_FALSE(m.reply);
    EXPECT_EQ(ParseRawMessage("TEXT+:b07r x", m, error), RAW_OK);
    EXPECT_EQ(m.text, "b07r x");
    EXPECT_TRUE(m.reply);
    EXPECT_EQ(ParseRawMessage("Pump/Sale/Read", m, error), RAW_NOT);
    EXPECT_EQ(ParseRawMessage("text", m, error), RAW_NOT);
    EXPECT_EQ(ParseRawMessage("text+:", m, error), RAW_BAD);
    EXPECT_EQ(error, "the text is empty");
}

// ---- Judging a step from its transactions ------------------------------------------------------

namespace {

Attempt Came(const std::string& verdict, std::optional<std::string> reply, std::optional<double> ackMs, double ms) {
    Attempt a;
    a.verdict = verdict;
    a.reply = std::move(reply);
    a.ackMs = ackMs;
    a.ms = ms;
    return a;
}

RunStep StepOf(const std::string& body) {
    RunSuite s = Loaded("[[step]]\n" + body);
    return s.steps.empty() ? RunStep() : s.steps[0];
}

}  // namespace

TEST(JudgeStep, PassesOnlyWhenVerdictReplyAndTimesAllHold) {
    RunStep step = StepOf("send = \"key:S\"\nreply = 'I{32}'\nack_within_ms = 50\nwithin_ms = 300\n");
    Judgement good = JudgeStep(step, {Came("ok", std::string(32, 'I'), 0.5, 102.5)});
    EXPECT_TRUE(good.pass);
    EXPECT_EQ(good.verdict, "ok");
    EXPECT_EQ(good.why, "");

    Judgement j = JudgeStep(step, {Came("no-ack", std::nullopt, std::nullopt, 250)});
    EXPECT_FALSE(j.pass);
    EXPECT_EQ(j.verdict, "no-ack");
    EXPECT_EQ(j.why, "expected ok, came no-ack");

    j = JudgeStep(step, {Came("ok", std::string("II\x01\xffI"), 0.5, 100)});
    EXPECT_EQ(j.why, "expected a reply matching I{32}, came II [01] [FF]I");

    j = JudgeStep(step, {Came("ok", std::nullopt, 0.5, 100)});
    EXPECT_EQ(j.why, "expected a reply matching I{32}, none came");

    j = JudgeStep(step, {Came("ok", std::string(32, 'I'), 73.25, 412.3)});
    EXPECT_EQ(j.why, "expected the ACK within 50 ms, it came after 73.25 ms; expected the whole transaction within "
                     "300 ms, it took 412.3 ms");
    j = JudgeStep(step, {Came("ok", std::string(32, 'I'), std::nullopt, 100)});
    EXPECT_EQ(j.why, "expected the ACK within 50 ms, none came");
    EXPECT_TRUE(JudgeStep(step, {Came("ok", std::string(32, 'I'), 50, 300)}).pass) << "a bound is inclusive";
}

TEST(JudgeStep, EveryRepetitionMustPassAndTheFirstFailureIsTold) {
    RunStep step = StepOf("send = \"key:S\"\nrepeat = 3\n");
    Judgement j = JudgeStep(step, {Came("ok", "I", 1, 10), Came("checksum-error", "I", 1, 10),
                                   Came("incomplete", std::nullopt, 1, 10)});
    EXPECT_FALSE(j.pass);
    EXPECT_EQ(j.verdict, "checksum-error");
    EXPECT_EQ(j.why, "transaction 2 of 3: expected ok, came checksum-error (2 of 3 failed)");
    EXPECT_TRUE(JudgeStep(step, {Came("ok", "I", 1, 10), Came("ok", "I", 1, 10), Came("ok", "I", 1, 10)}).pass);
}

TEST(JudgeStep, ExpectedFailuresStopsAndStepsWithoutTransactions) {
    RunStep noAck = StepOf("send = \"key:S\"\nexpect = \"no-ack\"\n");
    EXPECT_TRUE(JudgeStep(noAck, {Came("no-ack", std::nullopt, std::nullopt, 200)}).pass);
    Judgement ok = JudgeStep(noAck, {Came("ok", "I", 1, 10)});
    EXPECT_EQ(ok.why, "expected no-ack, came ok");

    RunStep status = StepOf("send = \"key:S\"\n");
    Judgement stopped = JudgeStep(status, {Came("stopped", std::nullopt, std::nullopt, 3)});
    EXPECT_FALSE(stopped.pass);
    EXPECT_TRUE(stopped.stopped);
    EXPECT_FALSE(JudgeStep(status, {Came("no-ack", std::nullopt, std::nullopt, 3)}).stopped);

    Judgement none = JudgeStep(status, {});
    EXPECT_FALSE(none.pass);
    EXPECT_EQ(none.why, "nothing was sent");
    EXPECT_TRUE(JudgeStep(StepOf("wait_ms = 5\n"), {}).pass);
    EXPECT_TRUE(JudgeStep(StepOf("send = \"PPU Base/PPG 1159\"\n"), {}).pass);
}

// ---- The text lines ------------------------------------------------------------------------------

namespace {

StepResult Ran(const std::string& name, const Judgement& j, std::vector<Attempt> attempts, double seconds = 0.1) {
    StepResult r;
    r.name = name;
    r.run = true;
    r.judgement = j;
    r.attempts = std::move(attempts);
    r.seconds = seconds;
    return r;
}

SuiteResult SampleSuite() {
    SuiteResult s;
    s.name = "Sale cycle, pump 7";
    s.path = "sale.toml";
    s.started = "2026-12-08T09:30:01.123Z";
    s.seconds = 1.23456;
    Judgement pass;
    pass.verdict = "ok";
    Judgement fail;
    fail.pass = false;
    fail.verdict = "no-ack";
    fail.why = "expected ok, came no-ack";
    Judgement stop;
    stop.pass = false;
    stop.stopped = true;
    stop.verdict = "stopped";
    stop.why = "expected ok, came stopped";
    s.steps.push_back(Ran("status", pass, {Came("ok", "I", 0.53, 102.46)}, 0.10246));
    s.steps.push_back(Ran("sale\nread", fail, {Came("no-ack", std::nullopt, std::nullopt, 250.04)}));
    s.steps.push_back(Ran("wait 500 ms", Judgement(), {}, 0.5));
    s.steps.push_back(Ran("clear", stop, {Came("stopped", std::nullopt, std::nullopt, 2)}));
    StepResult skipped;
    skipped.name = "reset";
    s.steps.push_back(skipped);
    return s;
}

}  // namespace

TEST(RunText, AStepALineAndTheCounts) {
    SuiteResult s = SampleSuite();
    EXPECT_EQ(StepLine(s.steps[0]), "PASS  status  ok  ACK 0.53 ms, 102.5 ms");
    EXPECT_EQ(StepLine(s.steps[1]), "FAIL  sale\\x0Aread  no-ack  250.0 ms  expected ok, came no-ack");
    EXPECT_EQ(StepLine(s.steps[2]), "PASS  wait 500 ms");
    EXPECT_EQ(StepLine(s.steps[4]), "SKIP  reset  not run");
    StepResult many = Ran("status", Judgement(), {Came("ok", "I", 0.5, 90), Came("ok", "I", std::nullopt, 120.25)});
    many.judgement.verdict = "ok";
    EXPECT_EQ(StepLine(many), "PASS  status  ok  2 transactions, ACK at most 0.50 ms, at most 120.2 ms");

    EXPECT_EQ(SuiteSummaryLine(s), "Sale cycle, pump 7: 2 passed, 1 failed, 1 stopped, 1 not run");
    EXPECT_EQ(RunSummaryLine({s, s}), "2 files: 4 passed, 2 failed, 2 stopped, 2 not run");
}

// ---- JUnit XML ---------------------------------------------------------------------------------

namespace {

// Parses `xml` with Python's XML parser and prints each element as
// "depth tag attr=value ... |text|", so a test sees what a JUnit reader sees.
// "" (with the parser's complaint in `error`) when it does not parse.
std::string AsParsed(const std::string& dir, const std::string& xml, std::string& error) {
    std::string file = dir + "/junit.xml";
    std::ofstream(file, std::ios::binary) << xml;
    std::string script = dir + "/dump.py";
    std::ofstream(script) << "import sys, xml.etree.ElementTree as ET\n"
                             "def dump(e, d):\n"
                             "    attrs = ' '.join('%s=%s' % (k, e.attrib[k]) for k in sorted(e.attrib))\n"
                             "    text = (e.text or '').strip()\n"
                             "    print('%d %s %s |%s|' % (d, e.tag, attrs, text))\n"
                             "    for c in e: dump(c, d + 1)\n"
                             "try:\n"
                             "    dump(ET.parse(sys.argv[1]).getroot(), 0)\n"
                             "except ET.ParseError as e:\n"
                             "    print('PARSE ERROR', e); sys.exit(1)\n";
    std::string command = "python3 " + script + " " + file + " 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        error = "python3 did not start";
        return "";
    }
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    int status = pclose(pipe);
    if (status != 0) {
        error = out;
        return "";
    }
    return out;
}

bool HavePython() { return std::system("python3 -c 'import xml.etree.ElementTree' >/dev/null 2>&1") == 0; }

}  // namespace

using JunitXmlFile = testsupport::ScratchFolder;

TEST_F(JunitXmlFile, SuitesCasesFailuresErrorsAndSkipsAsJunitReadersSeeThem) {
    if (!HavePython()) GTEST_SKIP() << "python3 is not there to parse the XML";
    SuiteResult s = SampleSuite();
    s.steps[0].trace = {"TxD:   [02]FE [03]p", "RxD:   [06] [02]I [03]["};
    SuiteResult empty;
    empty.name = "empty";
    empty.started = "not a time";
    std::string error;
    std::string parsed = AsParsed(dir_, JunitXml({s, empty}), error);
    EXPECT_EQ(parsed,
              "0 testsuites errors=1 failures=1 name=zantrox-cli run skipped=1 tests=5 time=1.235 ||\n"
              "1 testsuite errors=1 failures=1 name=Sale cycle, pump 7 skipped=1 tests=5 time=1.235 "
              "timestamp=2026-12-08T09:30:01 ||\n"
              "2 testcase classname=Sale cycle, pump 7 name=status time=0.102 ||\n"
              "3 system-out  |TxD:   [02]FE [03]p\nRxD:   [06] [02]I [03][|\n"
              "2 testcase classname=Sale cycle, pump 7 name=sale\nread time=0.100 ||\n"
              "3 failure message=expected ok, came no-ack type=no-ack |expected ok, came no-ack|\n"
              "2 testcase classname=Sale cycle, pump 7 name=wait 500 ms time=0.500 ||\n"
              "2 testcase classname=Sale cycle, pump 7 name=clear time=0.100 ||\n"
              "3 error message=expected ok, came stopped type=stopped |expected ok, came stopped|\n"
              "2 testcase classname=Sale cycle, pump 7 name=reset time=0.000 ||\n"
              "3 skipped message=not run: the run was stopped by Ctrl+C ||\n"
              "1 testsuite errors=0 failures=0 name=empty skipped=0 tests=0 time=0.000 ||\n")
        << error;
}

TEST_F(JunitXmlFile, HostileBytesStayParseableAndVisible) {
    if (!HavePython()) GTEST_SKIP() << "python3 is not there to parse the XML";
    SuiteResult s;
    s.name = "a\"b'<c>&d]]>";
    StepResult step = Ran(std::string("nul\0bel\x07", 8) + "\xff\xfe" + "\xed\xa0\x80" + "\xef\xbf\xbe" +
                              "\xc0\xaf" + "\xc2\x85" + "Zapfs\xc3\xa4ule \xe2\x82\xac \xf0\x9f\x94\xa5",
                          Judgement(), {}, -1);
    step.judgement.pass = false;
    step.judgement.verdict = "ok\r";
    step.judgement.why = "came \x1b[31m\ttab\r\nnext";
    step.trace = {std::string("\x02\x03\x06 \x80</system-out>", 18)};
    s.steps.push_back(step);
    std::string error;
    std::string parsed = AsParsed(dir_, JunitXml({s}), error);
    EXPECT_EQ(parsed,
              "0 testsuites errors=0 failures=1 name=zantrox-cli run skipped=0 tests=1 time=0.000 ||\n"
              "1 testsuite errors=0 failures=1 name=a\"b'<c>&d]]> skipped=0 tests=1 time=0.000 ||\n"
              "2 testcase classname=a\"b'<c>&d]]> name=nul\\x00bel\\x07\\xFF\\xFE\\xED\\xA0\\x80\\xEF\\xBF\\xBE"
              "\\xC0\\xAF\\xC2\\x85Zapfs\xc3\xa4ule \xe2\x82\xac \xf0\x9f\x94\xa5 time=0.000 ||\n"
              "3 failure message=came \\x1B[31m\ttab\r\nnext type=ok\r |came \\x1B[31m\ttab\r\nnext|\n"
              "3 system-out  |\\x02\\x03\\x06 \\x80</system-out>|\n")
        << error;
}

// Whatever a step's name, verdict, why or trace holds, the file stays valid for
// the strictest reader: the schema the tests carry, checked by xmllint.
TEST_F(JunitXmlFile, ValidAgainstTheJunitSchemaWhateverTheStepsHold) {
    const std::string schema = ZANTROX_SOURCE_DIR "/tests/junit/junit.xsd";
    const std::string hostile = std::string("nul\0bel\x07\x1b[31m", 12) + "\xff\xfe \xed\xa0\x80 \xef\xbf\xbe \xc0\xaf " +
                                "\xc2\x85 \xe2\x82 ]]> ]]]]><![CDATA[ \"quoted\" 'single' <b>&amp; \r\n\t" +
                                "Zapfs\xc3\xa4ule \xe2\x82\xac \xf0\x9f\x94\xa5 \x7f";
    SuiteResult s = SampleSuite();
    s.name = "suite " + hostile;
    for (StepResult& step : s.steps) {
        step.name += " " + hostile;
        step.trace = {"TxD:   " + hostile, std::string("\x02\x03\x06", 3) + "</system-out>]]>", ""};
        if (!step.judgement.pass) {
            step.judgement.verdict += hostile;
            step.judgement.why += " " + hostile;
        }
    }
    s.steps[2].seconds = -1;  // a clock that went back
    s.steps[3].seconds = std::numeric_limits<double>::quiet_NaN();
    SuiteResult empty;  // a file whose steps were all refused to run: no testcase
    empty.name = "";
    empty.started = s.started;
    empty.seconds = std::numeric_limits<double>::infinity();

    const std::string path = dir_ + "/results.xml";
    std::string error;
    ASSERT_TRUE(WriteJunitFile(path, {s, empty}, error)) << error;
    EXPECT_EQ(testsupport::JunitSchemaProblems(schema, path), "") << testsupport::ReadWholeFile(path);
    ASSERT_TRUE(WriteJunitFile(path, {}, error)) << error;
    EXPECT_EQ(testsupport::JunitSchemaProblems(schema, path), "") << testsupport::ReadWholeFile(path);
}

// The schema is strict where readers are: it would catch the program dropping a
// count, writing a zone or a fraction in the timestamp, or two outcomes in a case.
TEST_F(JunitXmlFile, TheSchemaRefusesWhatJunitReadersWouldMisread) {
    const std::string schema = ZANTROX_SOURCE_DIR "/tests/junit/junit.xsd";
    const std::string path = dir_ + "/results.xml";
    SuiteResult s = SampleSuite();
    s.steps[0].trace = {"TxD:   [02]FE [03]p"};
    std::string good = JunitXml({s});
    WriteText(path, good);
    ASSERT_EQ(testsupport::JunitSchemaProblems(schema, path), "");
    // The first `from` after <testsuite> (the totals on <testsuites> are optional) made `to`.
    auto without = [&](const std::string& from, const std::string& to) {
        std::string spoilt = good;
        size_t at = spoilt.find(from, spoilt.find("<testsuite "));
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos) spoilt.replace(at, from.size(), to);
        WriteText(path, spoilt);
        return testsupport::JunitSchemaProblems(schema, path);
    };
    EXPECT_NE(without(" failures=\"1\" errors", " errors"), "") << "a suite without its failure count";
    EXPECT_NE(without("T09:30:01\"", "T09:30:01Z\""), "") << "a zone in the timestamp";
    EXPECT_NE(without("T09:30:01\"", "T09:30:01.123\""), "") << "a fraction in the timestamp";
    EXPECT_NE(without("time=\"0.500\"", "time=\"0,500\""), "") << "a decimal comma";
    EXPECT_NE(without("tests=\"5\" failures", "tests=\"-5\" failures"), "") << "a negative count";
    EXPECT_NE(without("<skipped ", "<failure/><skipped "), "") << "two outcomes in one case";
    EXPECT_NE(without("<system-out>", "<system-err></system-err><system-out>"), "") << "output out of order";
    EXPECT_NE(without("\n      <failure", "\n      <system-out/><failure"), "") << "the outcome after the output";
}

TEST_F(JunitXmlFile, WrittenBesideAndRenamedOverTheOldFile) {
    std::string path = dir_ + "/results.xml";
    WriteText(path, "old");
    std::string error;
    ASSERT_TRUE(WriteJunitFile(path, {SampleSuite()}, error)) << error;
    EXPECT_EQ(testsupport::ReadWholeFile(path), JunitXml({SampleSuite()}));
    EXPECT_EQ(Names(), (std::vector<std::string>{"results.xml"})) << "nothing left beside it";

    EXPECT_FALSE(WriteJunitFile(dir_ + "/no/such/folder/results.xml", {SampleSuite()}, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(Names(), (std::vector<std::string>{"results.xml"}));
}
