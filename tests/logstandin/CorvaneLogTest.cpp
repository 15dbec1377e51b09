#include "Subprocess.h"
#include "TempDir.h"
#include "TestConfig.h"
#include "capture/Capture.h"
#include "util/LocalTime.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <thread>

namespace corvane::test {
namespace {

using ::testing::HasSubstr;

const std::string kTool = std::string(CORVANE_BIN_DIR) + "/corvane-log";
const std::string kHeader = "Timestamp                       (process)[PID]";

std::vector<std::string> streamArgs(std::string_view predicate) {
    return {kTool, "stream", "--predicate", std::string(predicate), "--info", "--style", "syslog"};
}

class CorvaneLogTest : public ::testing::Test {
  protected:
    std::vector<std::string> env(std::string_view speed) const {
        return {"CORVANE_LOG_SOURCE=" + (dir_ / "source.log").string(),
                "CORVANE_LOG_SPEED=" + std::string(speed)};
    }
    TempDir dir_;
};

TEST_F(CorvaneLogTest, StreamsTheLinesThePredicateAcceptsRestamped) {
    const std::vector<std::string> source = {
        "2026-10-18 09:14:01.734512-0700  mac rapportd[412]: DirectLink up",
        "2026-10-18 09:14:01.800000-0700  mac kernel[0]: DirectLink from the kernel",
        "2026-10-18 09:14:01.900000-0700  mac rapportd[412]: nothing of interest",
        "2026-10-18 09:14:02.000001-0700  mac bluetoothd[90]: NeedsKeyboard",
        "2026-10-18 09:14:02.100000-0700  mac sharingd[77]: SameAccountDevice",
    };
    std::string text;
    for (const auto& line : source) {
        text += line + "\n";
    }
    writeText(dir_ / "source.log", text);
    Subprocess tool(streamArgs(Capture::predicate), env("0"));
    const std::string out = tool.readAll();
    EXPECT_EQ(tool.wait(), 0);

    const std::string expected = "Filtering the log data using \"" +
                                 std::string(Capture::predicate) + "\"\n" + kHeader + "\n";
    ASSERT_THAT(out, ::testing::StartsWith(expected));
    std::vector<std::string> lines;
    std::istringstream rest(out.substr(expected.size()));
    for (std::string line; std::getline(rest, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 3u) << out;
    for (size_t i = 0; i < 3; ++i) {
        const std::string& original = source[i == 0 ? 0 : i + 2];
        EXPECT_EQ(lines[i].substr(31), original.substr(31));
        EXPECT_TRUE(std::regex_match(lines[i].substr(19, 12), std::regex(R"(\.\d{6}[+-]\d{4})")))
            << lines[i];
        const auto stamped = util::parseLocalDateTime(lines[i].substr(0, 19));
        ASSERT_TRUE(stamped) << lines[i];
        EXPECT_LT(std::abs(*stamped - std::time(nullptr)), 60) << "re-stamped with the time now";
    }
}

TEST_F(CorvaneLogTest, PacesByTheOriginalGapsAndStaysOpen) {
    writeText(dir_ / "source.log",
              "2026-10-18 09:14:01.000000-0700  mac rapportd[1]: AuthTag one\n"
              "2026-10-18 09:14:03.000000-0700  mac rapportd[1]: AuthTag two\n");
    Subprocess tool(streamArgs(Capture::predicate), env("0.25"));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(tool.readLine());
    }
    const auto before = std::chrono::steady_clock::now();
    ASSERT_TRUE(tool.readLine());
    const double gap =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
    EXPECT_GT(gap, 0.35);
    EXPECT_LT(gap, 1.5);
    // The end of the source is not the end of a live stream; the reader's going is.
    EXPECT_FALSE(tool.readLine(std::chrono::milliseconds(300)));
    tool.closeOutput();
    const auto ended = tool.waitWithin(std::chrono::seconds(10));
    ASSERT_TRUE(ended) << "still running without a reader";
    EXPECT_EQ(ended->status, 0);
}

/// Whether process `pid` has ended (gone, or a zombie nobody reaps) within `timeout`.
bool endsWithin(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string name, state;
        if (!(stat >> pid >> name >> state) || state == "Z") {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

TEST_F(CorvaneLogTest, AnEndlessLineStaysBoundedAndTheToolDiesWithItsReaderOrParent) {
    // /dev/zero: one endless line, cut at the cap; whatever the predicate keeps, the tool
    // notices that its reader went.
    Subprocess endless(streamArgs(Capture::predicate),
                       {"CORVANE_LOG_SOURCE=/dev/zero", "CORVANE_LOG_SPEED=0"});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    endless.closeOutput();
    const auto ended = endless.waitWithin(std::chrono::seconds(10));
    ASSERT_TRUE(ended) << "still reading /dev/zero without a reader";
    EXPECT_LT(ended->peakRssKb, 100 * 1024);

    // Its parent killed, writing to no pipe (so no write can fail): the parent-death signal.
    writeText(dir_ / "source.log",
              "2026-10-18 09:14:01.000000-0700  mac rapportd[1]: AuthTag one\n"
              "2026-10-18 10:14:01.000000-0700  mac rapportd[1]: AuthTag an hour later\n");
    auto args = streamArgs(Capture::predicate);
    Subprocess shell({"/bin/sh", "-c", "\"$@\" >/dev/null & echo $!; wait", "sh", args[0], args[1],
                      args[2], args[3], args[4], args[5], args[6]},
                     env("1"));
    const auto child = shell.readLine();
    ASSERT_TRUE(child);
    const pid_t pid = std::stoi(*child);
    EXPECT_FALSE(endsWithin(pid, std::chrono::milliseconds(300))) << "ended by itself";
    shell.signal(SIGKILL);
    shell.wait();
    EXPECT_TRUE(endsWithin(pid, std::chrono::seconds(10))) << "outlived its parent";
    if (!endsWithin(pid, std::chrono::milliseconds(0))) {
        ::kill(pid, SIGKILL);
    }
}

TEST_F(CorvaneLogTest, UsageErrorsExit64AndShowFailsOnlyWhenAccessIsDenied) {
    writeText(dir_ / "source.log", "");
    for (const auto& args : std::vector<std::vector<std::string>>{
             streamArgs("process == rapportd"),
             streamArgs("eventMessage MATCHES \"x\""),
             {kTool},
             {kTool, "tail"},
             {kTool, "stream", "--info", "--style", "syslog"},
             {kTool, "stream", "--predicate", "process == \"a\"", "--style", "json"},
             {kTool, "stream", "--predicate", "process == \"a\"", "--style", "syslog", "--x"},
             {kTool, "show", "--last", "soon", "--style", "syslog"},
         }) {
        Subprocess tool(args, env("0"));
        const std::string out = tool.readAll();
        EXPECT_EQ(tool.wait(), 64) << args.back();
        EXPECT_THAT(out, HasSubstr("usage:"));
    }
    for (const char* speed : {"-1", "1e300", "1001", "nan", "inf", "fast"}) {
        Subprocess tool(streamArgs(Capture::predicate), env(speed));
        EXPECT_THAT(tool.readAll(), HasSubstr("CORVANE_LOG_SPEED must be a number from 0 to 1000"));
        EXPECT_EQ(tool.wait(), 64) << speed;
    }
    // show succeeds unless access is denied.
    const std::vector<std::string> show = {kTool, "show", "--last", "1s", "--style", "syslog"};
    Subprocess allowed(show);
    allowed.readAll();
    EXPECT_EQ(allowed.wait(), 0);
    Subprocess denied(show, {"CORVANE_LOG_DENY=1"});
    EXPECT_THAT(denied.readAll(), HasSubstr("Operation not permitted"));
    EXPECT_EQ(denied.wait(), 1);
}

} // namespace
} // namespace corvane::test
