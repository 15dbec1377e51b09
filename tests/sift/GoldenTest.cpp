#include "TempDir.h"
#include "TestConfig.h"
#include "sift/Sift.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace corvane::Sift {
namespace {

const std::filesystem::path kGolden =
    std::filesystem::path(CORVANE_TEST_DATA_DIR) / "sift" / "golden";

/// The state a fresh analysis builds from the fixture log, one line at a time.
State analyse(const std::string& log) {
    State state;
    size_t start = 0;
    for (uint64_t number = 1; start < log.size(); ++number) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) {
            end = log.size();
        }
        if (end > start) {
            ingestLine(std::string_view(log).substr(start, end - start), state, {number, start});
        }
        start = end + 1;
    }
    return state;
}

// The fixture makes every rule fire; regenerate it (and this expectation) with
// tests/data/sift/regenerate.sh after an intended change, and review the diff.
TEST(Golden, FixtureLogGivesTheExpectedState) {
    const std::string log = test::readText(kGolden / "evidence.log");
    ASSERT_FALSE(log.empty());
    const State state = analyse(log);
    const std::string actual = toJson(state).dump(2) + "\n";
    const auto expectedPath = kGolden / "expected_state.json";
    if (std::getenv("CORVANE_REGENERATE")) {
        test::writeText(expectedPath, actual);
        GTEST_SKIP() << "rewrote " << expectedPath;
    }
    EXPECT_EQ(actual, test::readText(expectedPath));

    // The fixture is only worth its size while every rule still fires on it.
    EXPECT_FALSE(state.macTail.empty());
    EXPECT_FALSE(state.dPeer.empty());
    EXPECT_FALSE(state.aPeer.empty());
    EXPECT_FALSE(state.dAdsid.empty());
    EXPECT_FALSE(state.aAdsid.empty());
    EXPECT_FALSE(state.macAid.empty());
    EXPECT_FALSE(state.owner.empty());
    EXPECT_FALSE(state.cul.empty());
    EXPECT_FALSE(state.access.empty());
    EXPECT_FALSE(state.recentRes.empty());
    EXPECT_GE(state.pairsTotal, 2);
    EXPECT_GT(state.pairsScreen, 0);
    EXPECT_LT(state.pairsScreen, state.pairsTotal);
    EXPECT_FALSE(state.kbd.empty());
    EXPECT_FALSE(state.ble.empty());
    EXPECT_FALSE(state.view.empty());
}

} // namespace
} // namespace corvane::Sift
