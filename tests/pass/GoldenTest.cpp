#include "ShellCommand.h"
#include "TempDir.h"
#include "TestConfig.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::readText;
using test::runShell;
using test::TempDir;

/// Where each expected file lies in a data folder after the pass.
fs::path producedPath(const fs::path& folder, const std::string& name) {
    if (name == "ALL.json" || name == "days.json" || name == "summary.json" ||
        name == "baseline.json" || name == "evidence.json" || name == "timeline.json") {
        return folder / "sift" / name;
    }
    return folder / name;
}

std::string passCommand(const fs::path& folder, const std::string& now) {
    return "TZ=UTC '" CORVANE_BIN_DIR "/corvane' pass --data '" + folder.string() + "' --now " +
           now;
}

/// Fixture evidence logs and baseline files under tests/data/pass/<case>/input, analysed as
/// of the time in <case>/now, must give exactly the files in <case>/expected (made by
/// tests/pass/regenerate-golden).
class Golden : public ::testing::TestWithParam<const char*> {};

TEST_P(Golden, PassWritesTheExpectedFiles) {
    const fs::path fixture = fs::path(CORVANE_TEST_DATA_DIR) / "pass" / GetParam();
    std::string now = readText(fixture / "now");
    now.erase(now.find_last_not_of('\n') + 1);
    TempDir dir;
    fs::copy(fixture / "input", dir.path(), fs::copy_options::recursive);

    const auto result = runShell(passCommand(dir.path(), now));
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, readText(fixture / "expected/stdout.txt"));
    std::map<std::string, std::string> produced;
    for (const auto& entry : fs::directory_iterator(fixture / "expected")) {
        const std::string name = entry.path().filename().string();
        if (name != "stdout.txt") {
            produced[name] = readText(producedPath(dir.path(), name));
            EXPECT_EQ(produced[name], readText(entry.path())) << name << " differs";
        }
    }
    ASSERT_TRUE(produced.count("ALL.json"));

    // Again, with nothing new: the same bytes (the baseline refresh may move its own state
    // word on, "locked" to "confirmed").
    produced.erase("baseline.json");
    const auto again = runShell(passCommand(dir.path(), now));
    EXPECT_EQ(again.output.substr(0, again.output.find(':')), "nothing new");
    for (const auto& [name, bytes] : produced) {
        EXPECT_EQ(readText(producedPath(dir.path(), name)), bytes) << name << " changed";
    }
}

INSTANTIATE_TEST_SUITE_P(Pass, Golden,
                         ::testing::Values("clean", "compromised", "pending", "edge", "crowded",
                                           "stale"));

} // namespace
} // namespace corvane
