#include "ShellCommand.h"
#include "TestConfig.h"
#include "gen/Scenario.h"
#include "vault/Vault.h"

#include <chrono>
#include <csignal>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

namespace corvane::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ::testing::HasSubstr;
using vault::shellQuote;

const auto corvane = runCorvane;

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

/// A data folder holding the foreign-directlink scenario's log, cut after `bytes` (on a line).
struct Scenario {
    std::string log;
    double now = 0;
    explicit Scenario() {
        const auto scenario = gen::makeScenario("foreign-directlink", 5).value();
        for (const auto& line : scenario.lines) {
            log += line + "\n";
        }
        now = scenario.truth["end"].get<double>() + 60;
    }
    std::string pass(const fs::path& data, size_t bytes) const {
        writeText(data / "CV_personal.log", log.substr(0, log.rfind('\n', bytes - 1) + 1));
        return corvane("pass --data " + shellQuote(data.string()) + " --now " +
                       std::to_string(static_cast<int64_t>(now)))
            .output;
    }
};

// explain prints a finding's lines from the log itself, each after its line number, and
// refuses, printing no line, once the log no longer holds what the references name.
TEST(Explain, PrintsTheLinesBehindAFindingAndRefusesAChangedLog) {
    TempDir dir;
    const Scenario scenario;
    const fs::path data = dir / "CV";
    scenario.pass(data, scenario.log.size());
    const std::string d = " --data " + shellQuote(data.string());
    const auto lines = linesOf(scenario.log);

    const auto byRow = corvane("explain" + d + " --row 1");
    ASSERT_EQ(byRow.status, 0) << byRow.output;
    const auto printed = linesOf(byRow.output);
    ASSERT_GE(printed.size(), 2u);
    const std::string title = "row 1: Rogue DirectLink address ";
    ASSERT_THAT(printed[0], ::testing::StartsWith(title));
    const std::string mac = printed[0].substr(title.size(), 17);
    uint64_t previous = 0;
    for (size_t i = 1; i < printed.size(); ++i) {
        const auto colon = printed[i].find(": ");
        const uint64_t number = std::stoull(printed[i].substr(0, colon));
        EXPECT_GT(number, previous); // newest last
        previous = number;
        EXPECT_EQ(printed[i].substr(colon + 2), lines.at(number - 1));
    }
    const auto byMac = corvane("explain" + d + " --mac " + mac);
    EXPECT_EQ(byMac.status, 0);
    EXPECT_THAT(byMac.output, HasSubstr(byRow.output));
    EXPECT_EQ(corvane("explain" + d + " --account nobody").output,
              "corvane explain: no such finding: the last pass found none that matches\n");
    EXPECT_NE(corvane("explain" + d + " --row 1 --mac " + mac).status, 0);

    // One byte of a referenced line changed in place, then the log cut short.
    std::string changed = scenario.log;
    const auto at = changed.find(lines.at(previous - 1));
    changed[at + 25] = changed[at + 25] == 'x' ? 'y' : 'x';
    writeText(data / "CV_personal.log", changed);
    const auto edited = corvane("explain" + d + " --row 1");
    EXPECT_EQ(edited.status, 1);
    EXPECT_THAT(edited.output, HasSubstr("corvane explain: CV_personal.log no longer holds the "
                                         "lines of the last pass: line " +
                                         std::to_string(previous)));
    writeText(data / "CV_personal.log", scenario.log.substr(0, scenario.log.size() / 2));
    const auto truncated = corvane("explain" + d + " --row 1");
    EXPECT_EQ(truncated.status, 1);
    EXPECT_THAT(truncated.output, HasSubstr("(truncated)"));
    EXPECT_EQ(linesOf(truncated.output).size(), 1u);
}

// The findings as JSON lines, appended to a file across passes, reach a local file through
// the rsyslog file input each exactly once, with their schema fields.
TEST(Findings, ShipperDeliversEveryFindingOnceWhileTheFileGrows) {
    if (std::system("command -v rsyslogd >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "rsyslogd is not installed (scripts/install-deps installs it)";
    }
    TempDir dir;
    const Scenario scenario;
    const fs::path data = dir / "CV";
    const fs::path out = dir / "findings.jsonl";
    const fs::path shipped = dir / "shipped.jsonl";
    const std::string findings = "findings --data " + shellQuote(data.string()) +
                                 " --format jsonl --out " + shellQuote(out.string());
    scenario.pass(data, scenario.log.size() / 2);
    ASSERT_EQ(corvane(findings).status, 0);

    writeText(dir / "rsyslog.conf",
              "global(workDirectory=\"" + dir.path().string() + "\" maxMessageSize=\"64k\")\n"
              "module(load=\"imfile\" mode=\"polling\" pollingInterval=\"1\")\n"
              "template(name=\"line\" type=\"string\" string=\"%msg%\\n\")\n"
              "ruleset(name=\"ship\") { action(type=\"omfile\" file=\"" + shipped.string() +
                  "\" template=\"line\") }\n"
              "input(type=\"imfile\" file=\"" + out.string() +
                  "\" tag=\"corvane\" ruleset=\"ship\")\n");
    const std::string pidFile = (dir / "rsyslogd.pid").string();
    ASSERT_EQ(runShell("rsyslogd -f " + shellQuote((dir / "rsyslog.conf").string()) + " -i " +
                       shellQuote(pidFile))
                  .status,
              0);
    const auto waitFor = [&](size_t count) {
        for (int i = 0; i < 150 && linesOf(readText(shipped)).size() < count; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    };
    const size_t first = linesOf(readText(out)).size();
    ASSERT_GT(first, 0u);
    waitFor(first);

    scenario.pass(data, scenario.log.size()); // the log grows; so does the findings file
    ASSERT_EQ(corvane(findings).status, 0);
    ASSERT_EQ(corvane(findings).status, 0); // nothing new: nothing appended
    const auto all = linesOf(readText(out));
    ASSERT_GT(all.size(), first);
    waitFor(all.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // room for a duplicate
    const int pid = std::stoi(readText(pidFile));
    ::kill(pid, SIGTERM);

    const auto delivered = linesOf(readText(shipped));
    EXPECT_EQ(delivered, all);
    std::set<std::string> ids;
    for (const auto& line : delivered) {
        const auto record = json::parse(line);
        EXPECT_TRUE(ids.insert(record["event"]["id"].get<std::string>()).second) << line;
        EXPECT_EQ(record["event"]["kind"], "alert");
        EXPECT_TRUE(record["event"]["category"].is_array());
        EXPECT_THAT(record["@timestamp"].get<std::string>(), ::testing::EndsWith("Z"));
        EXPECT_FALSE(record["host"]["name"].get<std::string>().empty());
        EXPECT_TRUE(record.contains("source") || record.contains("user")) << line;
        EXPECT_GT(record["corvane"]["line"].get<uint64_t>(), 0u);
        EXPECT_FALSE(record["corvane"]["lines"].empty());
    }
    // Without --out, the current findings, all of them shipped already.
    const auto printed = linesOf(corvane("findings --data " + shellQuote(data.string())).output);
    EXPECT_FALSE(printed.empty());
    for (const auto& line : printed) {
        EXPECT_EQ(ids.count(json::parse(line)["event"]["id"].get<std::string>()), 1u) << line;
    }
}

} // namespace
} // namespace corvane::test
