#include "Subprocess.h"
#include "TempDir.h"
#include "TestConfig.h"
#include "capture/DataFolder.h"
#include "sift/State.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <thread>

namespace corvane::test {
namespace {

TEST(MonitorAnalysis, AnalysesAtTheStartAndOnceMoreAfterTheStop) {
    TempDir dir;
    writeText(dir / "source.log",
              "2026-10-18 09:14:01.734512-0700  mac rapportd[412]: (Rapport) DirectLink: "
              "CUBonjourDevice D2:75:8D:12:6E:64, TT 0x10, stID "
              "499AA6D2-84C8-80CF-5C61-FF405ABD90DF, IDS 'Own01'\n");
    const auto data = dir / "CV";
    Subprocess monitor(
        {std::string(CORVANE_BIN_DIR) + "/corvane", "monitor", "--data", data},
        {"CORVANE_LOG_SOURCE=" + (dir / "source.log").string(), "CORVANE_LOG_SPEED=0"});
    std::optional<std::string> line;
    while ((line = monitor.readLine()) && !line->starts_with("analysis: ")) {
    }
    ASSERT_TRUE(line) << "no analysis at the start";
    for (int i = 0;
         i < 100 && readText(DataFolder(data).evidenceLog()).find("D2:75") == std::string::npos;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    monitor.signal(SIGTERM);
    const std::string rest = monitor.readAll();
    EXPECT_EQ(monitor.wait(), 0) << rest;

    // The last analysis comes after the capture stopped, and has read the stop marker.
    const auto stopped = rest.rfind("not capturing");
    const auto last = rest.rfind("analysis: ");
    ASSERT_TRUE(stopped != std::string::npos && last != std::string::npos) << rest;
    EXPECT_GT(last, stopped) << rest;
    EXPECT_THAT(rest.substr(last), ::testing::EndsWith("verdict: CLEAN\n"));
    EXPECT_EQ(Sift::loadState(DataFolder(data).liveState()).offset,
              std::filesystem::file_size(DataFolder(data).evidenceLog()));
}

} // namespace
} // namespace corvane::test
