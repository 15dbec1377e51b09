#include "TempDir.h"
#include "TestConfig.h"
#include "eval/Evaluate.h"
#include "gen/Scenario.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace corvane::eval {
namespace {

/// Each labelled scenario, replayed through corvane as the application runs it, must end
/// with the verdict and the owner's device due, every rogue row and culprit right and none
/// missed, and no foreign address ever taken for one of the owner's connection addresses.
class Detection : public ::testing::TestWithParam<std::string> {};

TEST_P(Detection, MeetsEveryTarget) {
    test::TempDir dir;
    for (const uint64_t seed : {1, 2}) {
        const Result result = evaluate(GetParam(), seed, CORVANE_BIN_DIR, dir.path());
        std::string misses;
        for (const auto& miss : result.misses()) {
            misses += "\n  " + miss;
        }
        EXPECT_TRUE(misses.empty()) << "seed " << seed << ":" << misses;
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Detection, ::testing::ValuesIn(gen::scenarioNames()),
                         [](const auto& scenario) {
                             std::string name = scenario.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

} // namespace
} // namespace corvane::eval
