#include "TempDir.h"
#include "gen/Scenario.h"
#include "sift/Evidence.h"
#include "sift/Sift.h"
#include "util/JsonFile.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace corvane::Sift {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), ::toupper);
    return text;
}

/// Every scenario, analysed in one pass, in passes over a log that grows in pieces cut
/// anywhere, and from a state saved before references existed, gives the same references;
/// and every reference names a line that holds its finding's address or account, at the
/// number, offset, time and text it states.
TEST(EvidenceRefs, EveryReferenceChecksOutOneShotAndIncremental) {
    size_t checked = 0;
    for (const auto& name : gen::scenarioNames()) {
        SCOPED_TRACE(name);
        const auto scenario = gen::makeScenario(name, 3);
        ASSERT_TRUE(scenario);
        std::string log = "\n"; // an empty first line still counts
        for (const auto& line : scenario->lines) {
            log += line + "\n";
        }
        const double now = scenario->truth["end"].get<double>() + 60;

        test::TempDir whole, pieces;
        test::writeText(whole / "CV_personal.log", log);
        runPass(whole.path(), now);
        for (const size_t cut : {log.size() / 3 + 7, log.size() * 2 / 3 + 1, log.size()}) {
            test::writeText(pieces / "CV_personal.log", log.substr(0, cut));
            runPass(pieces.path(), now);
        }
        const auto state = loadState(whole / "cv_state_live.json");
        EXPECT_EQ(state, loadState(pieces / "cv_state_live.json"));
        const auto evidence = readEvidence(whole.path());
        ASSERT_TRUE(evidence);
        EXPECT_EQ(*evidence, readEvidence(pieces.path()));

        // A state file from before line references is analysed again, once.
        auto older = util::readJson(whole / "cv_state_live.json", kMaxStateFileBytes).value();
        older.erase("lines");
        test::writeText(whole / "cv_state_live.json", older.dump());
        EXPECT_EQ(runPass(whole.path(), now).outcome, PassOutcome::StateUpgraded);
        EXPECT_EQ(runPass(whole.path(), now).outcome, PassOutcome::NothingNew);
        EXPECT_EQ(loadState(whole / "cv_state_live.json").lines, state.lines);
        EXPECT_EQ(readEvidence(whole.path()), evidence);

        std::vector<size_t> starts{0}; // offset of each line, by number - 1
        for (size_t at = log.find('\n'); at != std::string::npos; at = log.find('\n', at + 1)) {
            starts.push_back(at + 1);
        }
        EXPECT_EQ(state.lines, starts.size() - 1);
        const auto all = util::readJson(whole / "sift/ALL.json", 1 << 24).value();
        size_t rows = 0;
        for (const auto& [key, value] : all.items()) {
            rows += value.is_array() ? value.size() : 0;
        }
        const auto findings = evidenceFindings(*evidence);
        EXPECT_EQ(findings.size(), rows);
        for (const auto& finding : findings) {
            const auto& row = all[finding["list"].get<std::string>()][finding["index"].get<size_t>()];
            EXPECT_EQ(finding.value("mac", "—"), row.value("mac", "—"));
            const std::string mac = upper(finding.value("mac", "—"));
            const std::string account = finding.value("account", "—");
            ASSERT_FALSE(finding["lines"].empty()) << finding;
            for (const auto& ref : finding["lines"]) {
                const auto number = ref["line"].get<size_t>();
                ASSERT_GE(number, 1u);
                ASSERT_LT(number, starts.size());
                ASSERT_EQ(ref["offset"].get<size_t>(), starts[number - 1]) << ref;
                const std::string line =
                    log.substr(starts[number - 1], starts[number] - starts[number - 1] - 1);
                EXPECT_EQ(ref["text"], cutLine(line));
                EXPECT_EQ(ref["check"], lineCheck(line));
                EXPECT_EQ(ref["time"], line.substr(0, 19));
                const bool names = upper(line).find(mac) != std::string::npos ||
                                   line.find(account) != std::string::npos;
                EXPECT_TRUE(names || (mac == "—" && account == "—")) << finding << "\n" << line;
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 100u);
}

} // namespace
} // namespace corvane::Sift
