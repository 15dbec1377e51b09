#include "LogLines.h"
#include "Subprocess.h"
#include "TempDir.h"
#include "TestConfig.h"
#include "sift/Sift.h"
#include "util/JsonFile.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <signal.h>
#include <thread>

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::readText;
using test::Subprocess;
using test::TempDir;

constexpr int64_t kStart = 1'800'000'000;

/// Every file a pass writes is whole: it is either absent or decodes completely.
void expectWholeFiles(const fs::path& folder) {
    if (fs::exists(folder / "cv_state_live.json")) {
        const auto json = util::readJson(folder / "cv_state_live.json");
        ASSERT_TRUE(json && Sift::fromJson(*json)) << "state file cut";
    }
    for (const char* name : {"ALL.json", "days.json", "summary.json"}) {
        if (fs::exists(folder / "sift" / name)) {
            EXPECT_TRUE(util::readJsonObject(folder / "sift" / name)) << name << " cut";
        }
    }
}

TEST(PassCrash, PassesKilledAtRandomMomentsLeaveWholeFilesAndTheSameEnd) {
    const int lines = 40000;
    const std::string log = test::variedLog(lines, kStart);
    const std::string now = std::to_string(kStart + lines + 60);
    const std::vector<std::string> pass = {
        std::string(CORVANE_BIN_DIR) + "/corvane", "pass", "--data", "", "--now", now};

    TempDir killed;
    auto command = pass;
    command[3] = killed.path();
    std::mt19937 random(4711);
    size_t written = 0;
    int interrupted = 0;
    for (int round = 0; round < 8; ++round) {
        // The capture keeps appending; a kill may land in any step of a pass.
        const size_t more = std::uniform_int_distribution<size_t>(0, log.size() / 6)(random);
        const size_t upTo = std::min(log.size(), written + more);
        std::ofstream(killed / "CV_personal.log", std::ios::binary | std::ios::app)
            << log.substr(written, upTo - written);
        written = upTo;
        Subprocess run(command, {"TZ=UTC"});
        ASSERT_TRUE(run.started());
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 1500)(random)));
        run.signal(SIGKILL);
        interrupted += run.wait() == 128 + SIGKILL ? 1 : 0;
        expectWholeFiles(killed.path());
    }
    EXPECT_GE(interrupted, 2) << "too few passes were cut short to show anything";
    std::ofstream(killed / "CV_personal.log", std::ios::binary | std::ios::app)
        << log.substr(written);
    for (int i = 0; i < 3; ++i) {
        Subprocess run(command, {"TZ=UTC"});
        const std::string output = run.readAll();
        ASSERT_EQ(run.wait(), 0) << output;
        if (output.starts_with("nothing new")) {
            break;
        }
    }

    TempDir whole;
    command[3] = whole.path();
    test::writeText(whole / "CV_personal.log", log);
    Subprocess run(command, {"TZ=UTC"});
    ASSERT_EQ(run.wait(), 0);

    EXPECT_EQ(Sift::loadState(killed / "cv_state_live.json"),
              Sift::loadState(whole / "cv_state_live.json"));
    for (const char* name :
         {"CV_view.log", "sift/ALL.json", "sift/days.json", "sift/summary.json"}) {
        EXPECT_EQ(readText(killed / name), readText(whole / name)) << name;
    }
}

} // namespace
} // namespace corvane
