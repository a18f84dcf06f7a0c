// zantrox-cli run against the simulator: the examples pass but for the step that
// fails on purpose, the JUnit file and the report say the same; a bad file sends
// nothing; Ctrl+C stops the step in flight and still writes the JUnit file. Every
// JUnit file written is checked against the schema in tests/junit/.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/sim_log.h"
#include "tests/support/child.h"
#include "tests/support/files.h"
#include "tests/support/junit_schema.h"
#include "tests/support/pty_peer.h"
#include "tests/support/sim_process.h"

using testsupport::Child;

namespace {

const int WAIT_MS = 30000;

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class RunAgainstSim : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/zantrox-run-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
        sim_.reset(new Child);
        ASSERT_TRUE(testsupport::StartSimulatorChild(*sim_, ZANTROX_SIM_PATH, dir_, "sim",
                                                     {"--instant", "--log", dir_ + "/sim.log"}, pty_));
    }
    void TearDown() override {
        sim_.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    Child* StartCli(std::vector<std::string> args) {
        args.insert(args.begin(), ZANTROX_CLI_PATH);
        cli_.reset(new Child);
        EXPECT_TRUE(cli_->Start(args, dir_, "cli"));
        return cli_.get();
    }
    int Cli(const std::vector<std::string>& args) {
        int status = StartCli(args)->Wait(WAIT_MS);
        out_ = cli_->Stdout();
        err_ = cli_->Stderr();
        return status;
    }
    std::string Write(const std::string& name, const std::string& content) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path) << content;
        return path;
    }
    // The texts of the frames the simulator took.
    std::vector<std::string> SimFrames() {
        std::vector<std::string> texts;
        for (const simlog::Record& r : simlog::ReadLog(dir_ + "/sim.log")) {
            if (r.verdict != "mode") texts.push_back(r.text);
        }
        return texts;
    }
    // "" when the file is well formed and valid against the tests' JUnit schema, else why.
    std::string XmlProblem(const std::string& path) {
        return testsupport::JunitSchemaProblems(ZANTROX_SOURCE_DIR "/tests/junit/junit.xsd", path);
    }

    std::string dir_;
    std::string pty_;
    std::unique_ptr<Child> sim_;
    std::unique_ptr<Child> cli_;
    std::string out_;
    std::string err_;
};

}  // namespace

TEST_F(RunAgainstSim, TheExamplesPassButForTheStepThatFailsOnPurposeAndEveryOutputAgrees) {
    const std::string examples = ZANTROX_SOURCE_DIR "/examples/";
    const std::string junit = dir_ + "/results.xml", report = dir_ + "/run.html";
    EXPECT_EQ(Cli({"run", examples + "smoke.toml", examples + "sale-cycle.toml", examples + "price-write.toml",
                   "--port", pty_, "--json", "--junit", junit, "--report", report}),
              1)
        << err_;
    int steps = 0, transactions = 0;
    std::vector<std::string> failed;
    std::istringstream lines(out_);
    std::string line;
    while (std::getline(lines, line)) {
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << line;
        if (j.contains("kind") && j["kind"] == "step") {
            ++steps;
            if (!j["pass"].get<bool>()) failed.push_back(j["step"].get<std::string>() + ": " + j["why"].get<std::string>());
        } else {
            ++transactions;
            EXPECT_TRUE(j.contains("verdict") && j.contains("frame")) << line;  // send's shape
        }
    }
    ASSERT_EQ(failed.size(), 1u) << out_;
    EXPECT_EQ(failed[0].rfind("a card reader on every pump: ", 0), 0u) << failed[0];
    EXPECT_EQ(SimFrames().size(), static_cast<size_t>(transactions));
    EXPECT_NE(err_.find("3 files: " + std::to_string(steps - 1) + " passed, 1 failed"), std::string::npos) << err_;

    EXPECT_EQ(XmlProblem(junit), "");
    std::string xml = testsupport::ReadWholeFile(junit);
    EXPECT_EQ(Count(xml, "<testsuite "), 3u);
    EXPECT_EQ(Count(xml, "<testcase "), static_cast<size_t>(steps));
    EXPECT_EQ(Count(xml, "<failure "), 1u);
    EXPECT_NE(xml.find("name=\"Read-only smoke test\""), std::string::npos);

    std::string html = testsupport::ReadWholeFile(report);
    EXPECT_NE(html.find("Steps: " + std::to_string(steps - 1) + " of " + std::to_string(steps) + " passed"),
              std::string::npos);
    EXPECT_NE(html.find("a card reader on every pump"), std::string::npos);
}

TEST_F(RunAgainstSim, AFileWithProblemsIsRefusedWholeAndNothingIsSent) {
    const std::string path = Write("bad.toml",
                                   "name = \"bad\"\n"
                                   "[[step]]\n"
                                   "send = \"key:S\"\n"
                                   "[[step]]\n"
                                   "send = \"Pump/Sale/Reed\"\n"
                                   "[[step]]\n"
                                   "text = \"B07C\"\n"
                                   "colour = \"red\"\n");
    EXPECT_EQ(Cli({"run", path, "--port", pty_}), 2);
    EXPECT_NE(err_.find(path + ":5:"), std::string::npos) << err_;  // the unknown command
    EXPECT_NE(err_.find(path + ":7:"), std::string::npos) << err_;  // text without reply_expected
    EXPECT_NE(err_.find(path + ":8:"), std::string::npos) << err_;  // the unknown key
    EXPECT_NE(err_.find("nothing was sent"), std::string::npos) << err_;
    EXPECT_TRUE(SimFrames().empty());

    const std::string good = Write("good.toml", "[[step]]\nsend = \"key:S\"\n");
    EXPECT_EQ(Cli({"run", good, "--port", dir_ + "/no-such-port"}), 3) << err_;
    EXPECT_EQ(Cli({"run", good, "--port", pty_, "--junit", dir_ + "/no/folder/r.xml"}), 2) << err_;
    EXPECT_TRUE(SimFrames().empty());
}

TEST_F(RunAgainstSim, CtrlCStopsTheStepInFlightMarksTheRestNotRunAndStillWritesTheJunitFile) {
    const std::string path = Write("long.toml",
                                   "name = \"long\"\n"
                                   "[[step]]\nname = \"status\"\nsend = \"key:S\"\n"
                                   "[[step]]\nname = \"a long pause\"\nwait_ms = 600000\n"
                                   "[[step]]\nname = \"never\"\nsend = \"key:S\"\n"
                                   "[[step]]\nname = \"never either\"\ntext = \"B01R\"\nreply_expected = true\n");
    const std::string junit = dir_ + "/results.xml";
    Child* run = StartCli({"run", path, "--port", pty_, "--junit", junit});
    ASSERT_TRUE(testsupport::WaitUntil([&] { return run->Stdout().find("PASS  status") != std::string::npos; }, WAIT_MS));
    run->Signal(SIGINT);
    EXPECT_EQ(run->Wait(WAIT_MS), 1);
    EXPECT_NE(run->Stdout().find("2 not run"), std::string::npos) << run->Stdout();
    EXPECT_EQ(XmlProblem(junit), "");
    std::string xml = testsupport::ReadWholeFile(junit);
    EXPECT_EQ(Count(xml, "<skipped"), 2u) << xml;
    EXPECT_EQ(SimFrames(), std::vector<std::string>{"FE"});
}

TEST_F(RunAgainstSim, SendTakesAMessageTextAsItStands) {
    EXPECT_EQ(Cli({"send", "--port", pty_, "--interval", "0", "text+:B03R", "text:B03C"}), 0) << err_;
    EXPECT_EQ(SimFrames(), (std::vector<std::string>{"B03R", "B03C"}));
    EXPECT_NE(out_.find("reply OK"), std::string::npos) << out_;
    EXPECT_EQ(Cli({"send", "--port", pty_, "text:B03\x03"}), 2);
    EXPECT_EQ(SimFrames().size(), 2u);
}
