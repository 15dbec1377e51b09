#include "FullDisk.h"
#include "ShellCommand.h"
#include "Subprocess.h"
#include "TempDir.h"
#include "TestConfig.h"
#include "capture/DataFolder.h"
#include "sift/State.h"
#include "vault/Vault.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <optional>
#include <signal.h>
#include <thread>

namespace corvane::test {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;

const std::string kCorvane = std::string(CORVANE_BIN_DIR) + "/corvane";

class MonitorCommandTest : public ::testing::TestWithParam<int> {
  protected:
    std::vector<std::string> env() const {
        return {"CORVANE_LOG_SOURCE=" + (dir_ / "source.log").string(), "CORVANE_LOG_SPEED=0"};
    }
    TempDir dir_;
};

// The monitor analyses at the start, captures until signalled, then stops the capture and
// analyses once more, after the stop marker.
TEST_P(MonitorCommandTest, CapturesAndAnalysesUntilSignalledThenStopsCleanly) {
    writeText(dir_ / "source.log",
              "2026-10-18 09:14:01.734512-0700  mac rapportd[412]: (Rapport) DirectLink: "
              "CUBonjourDevice D2:75:8D:12:6E:64, TT 0x10, stID "
              "499AA6D2-84C8-80CF-5C61-FF405ABD90DF, IDS 'Own01'\n");
    const DataFolder data(dir_ / "CV");
    Subprocess monitor({kCorvane, "monitor", "--data", data.root.string()}, env());
    ASSERT_TRUE(monitor.started());
    auto line = monitor.readLine();
    ASSERT_TRUE(line);
    EXPECT_THAT(*line, HasSubstr("lines written"));
    while (line && !line->starts_with("analysis: ")) {
        line = monitor.readLine();
    }
    ASSERT_TRUE(line) << "no analysis at the start";
    // The stand-in's four lines follow the start marker.
    for (int i = 0; i < 100 && readText(data.evidenceLog()).find("D2:75") == std::string::npos;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    monitor.signal(GetParam());
    const std::string rest = monitor.readAll();
    EXPECT_EQ(monitor.wait(), 0) << rest;
    const auto stopped = rest.rfind("not capturing, 5 lines written");
    const auto last = rest.rfind("analysis: ");
    ASSERT_TRUE(stopped != std::string::npos && last != std::string::npos) << rest;
    EXPECT_GT(last, stopped) << rest;
    EXPECT_THAT(rest.substr(last), EndsWith("verdict: CLEAN\n"));
    const std::string log = readText(data.evidenceLog());
    EXPECT_THAT(log, HasSubstr("IDS 'Own01'\n"));
    EXPECT_THAT(log, EndsWith(" | — CV-APP capture stopped\n"));
    EXPECT_EQ(Sift::loadState(data.liveState()).offset, log.size());
}

INSTANTIATE_TEST_SUITE_P(Signals, MonitorCommandTest, ::testing::Values(SIGINT, SIGTERM));

TEST_F(MonitorCommandTest, ASecondMonitorOnTheSameFolderRefuses) {
    writeText(dir_ / "source.log",
              "2026-10-18 09:14:01.734512-0700  mac rapportd[412]: DirectLink up\n");
    const std::string data = (dir_ / "CV").string();
    Subprocess first({kCorvane, "monitor", "--data", data}, env());
    ASSERT_TRUE(first.readLine());
    Subprocess second({kCorvane, "monitor", "--data", data}, env());
    const std::string refusal = second.readAll();
    EXPECT_NE(second.wait(), 0);
    EXPECT_EQ(refusal, "corvane monitor: Another capture is already writing this evidence log.\n");
    first.signal(SIGINT);
    first.readAll();
    EXPECT_EQ(first.wait(), 0);
    const std::string log = readText(dir_ / "CV/CV_personal.log");
    EXPECT_EQ(log.find("DirectLink up"), log.rfind("DirectLink up"));
    EXPECT_NE(log.find("DirectLink up"), std::string::npos);
}

TEST_F(MonitorCommandTest, AFullDiskCostsNoLineSilently) {
    writeLongSource(dir_ / "source.log", 100);
    const auto data = dir_ / "CV";
    // The file size limit stands in for a full disk: writes beyond 4096 bytes fail, the one
    // crossing it only in part. (The same on a real full file system: FullDiskTest.)
    const std::string log = runUntilTheDiskIsFull(
        {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 8; exec \"$0\" monitor --data \"$1\"", kCorvane,
         data.string()},
        env(), DataFolder(data).evidenceLog(), "File too large");
    ASSERT_EQ(log.size(), 4096u);
    EXPECT_NE(log.back(), '\n') << "the size limit cut a line";
    expectTheNextRunStartsAfreshLine(data, env(), log.size());
}

TEST_F(MonitorCommandTest, OnATerminalTheStatusIsOneLineRedrawnInPlace) {
    writeText(dir_ / "source.log",
              "2026-10-18 09:14:01.734512-0700  mac rapportd[412]: DirectLink up\n");
    // script gives the monitor a terminal; timeout stops it with SIGINT after three seconds.
    const auto run =
        runShell("CORVANE_LOG_SOURCE=" + vault::shellQuote((dir_ / "source.log").string()) +
                 " CORVANE_LOG_SPEED=0 script -qec " +
                 vault::shellQuote("timeout -s INT 3 " + vault::shellQuote(kCorvane) +
                                   " monitor --data " + vault::shellQuote((dir_ / "CV").string())) +
                 " /dev/null");
    EXPECT_THAT(run.output, ::testing::StartsWith("\r\033[Kcapturing, "));
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
    const std::string last = run.output.substr(run.output.rfind("\033[K") + 3);
    EXPECT_THAT(last, ::testing::MatchesRegex("not capturing, 5 lines written, verdict PENDING "
                                              "at [0-9:]+\r\n"));
}

TEST(MonitorCommandFailure, ExitsWithTheErrorWhenTheLogCannotBeWritten) {
    TempDir dir;
    writeText(dir / "file", "a plain file where a folder is needed");
    Subprocess monitor({kCorvane, "monitor", "--data", (dir / "file/CV").string()});
    const std::string output = monitor.readAll();
    EXPECT_EQ(monitor.wait(), 1);
    EXPECT_THAT(output, HasSubstr("Can't write the log — grant Full Disk Access to CV-APP."));
}

} // namespace
} // namespace corvane::test
