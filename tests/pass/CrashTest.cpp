#include "LogLines.h"
#include "Subprocess.h"
#include "TempDir.h"
#include "TestConfig.h"
#include "capture/DataFolder.h"
#include "sift/Dashboard.h"
#include "sift/Sift.h"
#include "util/JsonFile.h"

#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <signal.h>
#include <thread>

namespace corvane::test {
namespace {

TEST(PassCrash, PassesKilledAtRandomMomentsLeaveWholeFilesAndTheSameEnd) {
    const int64_t start = 1'800'000'000;
    const std::string log = variedLog(40000, start);
    std::vector<std::string> pass = {std::string(CORVANE_BIN_DIR) + "/corvane",
                                     "pass",
                                     "--data",
                                     "",
                                     "--now",
                                     std::to_string(start + 40060)};
    const auto runTo = [&pass](const TempDir& dir, int killAfterMs) {
        pass[3] = dir.path();
        Subprocess run(pass, {"TZ=UTC"});
        if (killAfterMs >= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(killAfterMs));
            run.signal(SIGKILL);
        }
        return run.wait();
    };

    TempDir killed;
    std::mt19937 random(4711);
    size_t written = 0;
    int interrupted = 0;
    for (int round = 0; round < 9; ++round) {
        // The capture keeps appending; a kill may land in any step of a pass. The last
        // round appends the rest.
        const size_t upTo =
            round == 8 ? log.size() : std::min(log.size(), written + random() % (log.size() / 6));
        std::ofstream(DataFolder(killed).evidenceLog(), std::ios::binary | std::ios::app)
            << log.substr(written, upTo - written);
        written = upTo;
        interrupted += runTo(killed, static_cast<int>(random() % 1500)) == 128 + SIGKILL;
        // Whatever a killed pass left is whole: absent, or decoding completely.
        if (const auto state =
                util::readJson(DataFolder(killed).liveState(), Sift::kMaxStateFileBytes)) {
            EXPECT_TRUE(Sift::fromJson(*state)) << "state file cut";
        }
        for (const char* name : {"sift/ALL.json", "sift/days.json", "sift/summary.json"}) {
            if (std::filesystem::exists(killed / name)) {
                EXPECT_TRUE(util::readJsonObject(killed / name, Sift::kMaxDayFileBytes))
                    << name << " cut";
            }
        }
    }
    EXPECT_GE(interrupted, 2) << "too few passes were cut short to show anything";
    ASSERT_EQ(runTo(killed, -1), 0);

    TempDir whole;
    writeText(DataFolder(whole).evidenceLog(), log);
    ASSERT_EQ(runTo(whole, -1), 0);
    EXPECT_EQ(Sift::loadState(DataFolder(killed).liveState()),
              Sift::loadState(DataFolder(whole).liveState()));
    for (const char* name : {"CV_view.log", "sift/ALL.json", "sift/summary.json"}) {
        EXPECT_EQ(readText(killed / name), readText(whole / name)) << name;
    }
}

} // namespace
} // namespace corvane::test
