#include "gen/Generator.h"

#include "TempDir.h"
#include "TestConfig.h"
#include "baseline/Baseline.h"
#include "capture/Capture.h"
#include "capture/DataFolder.h"
#include "gen/Scenario.h"
#include "logstandin/Predicate.h"
#include "logstandin/SyslogLine.h"
#include "sift/Dashboard.h"
#include "sift/Sift.h"
#include "util/JsonFile.h"
#include "util/LocalTime.h"

#include <cctype>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::gen {
namespace {

using test::readText;
using test::TempDir;

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        lines.emplace_back(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return lines;
}

/// Whether the capture's own predicate keeps a line of the log tool.
bool capturePredicateSelects(std::string_view syslogLine) {
    static const auto predicate = logstandin::Predicate::parse(Capture::predicate).predicate;
    const auto line = logstandin::parseSyslogLine(syslogLine);
    return predicate->matches({line.process, line.eventMessage});
}

std::vector<std::string> captureLines(const Options& options, size_t limit = SIZE_MAX) {
    Generator generator(options);
    std::vector<std::string> lines;
    std::string line;
    double epoch = 0;
    while (lines.size() < limit && generator.next(line, epoch)) {
        lines.push_back(line);
    }
    return lines;
}

TEST(Generator, SameSeedSameBytesOtherSeedOtherBytes) {
    Options options;
    options.seed = 7;
    const auto first = captureLines(options, 3000);
    EXPECT_EQ(first, captureLines(options, 3000));
    options.seed = 8;
    EXPECT_NE(first, captureLines(options, 3000));

    EvidenceOptions evidence;
    evidence.maxLines = 3000;
    EXPECT_EQ(evidenceLines(evidence), evidenceLines(evidence));
}

TEST(Generator, BaselineFindsTheOwnersPhoneAtTheEndOfAnEvidenceLog) {
    TempDir dir;
    EvidenceOptions options;
    // Eight hours, during which the phone comes and goes; it must be there at the end
    // whatever its sessions did before.
    options.maxLines = 8 * 3600 * 4;
    options.generator.seed = 3;
    ASSERT_TRUE(writeEvidenceFile(DataFolder(dir).evidenceLog(), options));
    const auto lines = splitLines(readText(DataFolder(dir).evidenceLog()));
    const auto end = util::parseLocalDateTime(lines.back().substr(0, 19));
    ASSERT_TRUE(end);

    // The phone's address as its last advertisement printed it.
    std::string expected;
    for (auto it = lines.rbegin(); it != lines.rend() && expected.empty(); ++it) {
        if (const size_t at = it->find("device found ");
            at != std::string::npos && it->find("Alex\u2019s") != std::string::npos) {
            expected = it->substr(at + 13, 17);
        } else if (const size_t addr = it->find("Addr ");
                   addr != std::string::npos && it->find(" iPhone ") != std::string::npos) {
            for (size_t i = 0; i < 12; i += 2) {
                expected += (i > 0 ? ":" : "") + it->substr(addr + 5 + i, 2);
            }
            for (char& c : expected) {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
        }
    }
    const auto [phone, members] =
        Baseline::ownerBLE(Baseline::rows(dir.path(), static_cast<double>(*end) - 1200));
    ASSERT_TRUE(phone);
    EXPECT_EQ(*phone, expected);
}

/// The 12-minute sample as the monitor would capture it, analysed by passes along the way:
/// the verdict goes from pending to clean to compromised, and by the end every rule has fired.
TEST(Generator, SampleGoesFromPendingToCleanToCompromisedAndFiresEveryRule) {
    TempDir dir;
    Options options;
    options.duration = 12 * 60;
    Generator generator(options);
    std::string log;
    std::string line;
    double epoch = 0;
    bool more = generator.next(line, epoch);
    size_t connections = 0;
    std::vector<std::string> verdicts;
    for (const double minute : {1.5, 4.0, 12.0}) {
        for (; more && epoch < options.start + minute * 60; more = generator.next(line, epoch)) {
            if (capturePredicateSelects(line)) {
                connections += line.find("CLinkD connection") != std::string::npos;
                log += util::formatLocalDateTime(static_cast<int64_t>(epoch)) + " | " + line + "\n";
            }
        }
        test::writeText(DataFolder(dir).evidenceLog(), log);
        Sift::runPass(dir.path(), options.start + minute * 60);
        const auto summary =
            util::readJsonObject(dir / "sift" / "summary.json", Sift::kMaxDayFileBytes);
        ASSERT_TRUE(summary);
        verdicts.push_back(summary->value("verdict", ""));
    }
    EXPECT_EQ(verdicts, (std::vector<std::string>{"PENDING", "CLEAN", "COMPROMISED"}));

    const Sift::State state = Sift::loadState(DataFolder(dir).liveState());
    // Two addresses of the owner's phone and four foreign devices, one without a device UUID.
    EXPECT_EQ(state.dPeer.size(), 6u);
    EXPECT_EQ(state.macTail.size(), 5u);
    EXPECT_EQ(state.aPeer.size(), 4u);
    EXPECT_EQ(state.aAdsid.size(), 4u);
    EXPECT_FALSE(state.dAdsid.empty());
    EXPECT_FALSE(state.macAid.empty());
    EXPECT_FALSE(state.owner.empty());
    EXPECT_FALSE(state.cul.empty());
    EXPECT_FALSE(state.recentRes.empty());
    // Most connections follow their resolution closely enough to be paired, not all.
    EXPECT_GT(state.pairs.size(), connections / 2);
    EXPECT_LT(state.pairs.size(), connections);
    EXPECT_GT(state.pairsScreen, 0);
    EXPECT_LT(state.pairsScreen, state.pairsTotal);
    EXPECT_FALSE(state.kbd.empty());
    EXPECT_FALSE(state.ble.empty());
    std::set<std::string> accessTypes;
    for (const auto& [key, access] : state.access) {
        accessTypes.insert(access.type);
    }
    EXPECT_EQ(accessTypes, (std::set<std::string>{"Keyboard sharing", "Screen sharing"}));
    EXPECT_FALSE(state.view.empty());
}

TEST(Generator, CaptureCommandReproducesTheBundledSample) {
    TempDir dir;
    const std::string command = std::string("TZ=America/Los_Angeles '") + CORVANE_BIN_DIR +
                                "/corvane-gen' capture --out '" + (dir / "sample.log").string() +
                                "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string regenerated = readText(dir / "sample.log");
    const std::string bundled =
        readText(std::string(CORVANE_SOURCE_DIR) + "/resources/sample_capture.log");
    // A changed generator needs the sample regenerated with the command in tools/gen/main.cpp.
    EXPECT_TRUE(regenerated == bundled);
}

/// Every identifier the truth of a scenario names, and whose it is, must be in its log; no
/// identifier may be both the owner's and foreign; every line is one the capture keeps.
TEST(Scenario, TruthMatchesTheLogAndTheSameSeedGivesTheSameBytes) {
    for (const auto& name : scenarioNames()) {
        SCOPED_TRACE(name);
        const auto scenario = makeScenario(name, 3);
        ASSERT_TRUE(scenario);
        EXPECT_EQ(scenario->lines, makeScenario(name, 3)->lines);
        EXPECT_NE(scenario->lines, makeScenario(name, 4)->lines);

        std::string log;
        for (size_t i = 1; i < scenario->lines.size(); ++i) {
            const std::string& line = scenario->lines[i];
            ASSERT_TRUE(capturePredicateSelects(line.substr(22))) << line;
            ASSERT_LE(scenario->lines[i - 1].substr(0, 19), line.substr(0, 19));
            log += line + '\n';
        }
        const auto& truth = scenario->truth;
        std::set<std::string> own;
        for (const char* key : {"ble_macs", "directlink_macs", "awdl_macs", "accounts"}) {
            for (const auto& id : truth["owner"][key]) {
                own.insert(id.get<std::string>());
                EXPECT_NE(log.find(id.get<std::string>()), std::string::npos) << id;
            }
        }
        EXPECT_NE(log.find(truth["owner"]["device_tail"].get<std::string>()), std::string::npos);
        EXPECT_FALSE(truth["owner"]["directlink_macs"].empty());
        for (const char* key : {"ble_macs", "directlink_macs", "awdl_macs", "accounts"}) {
            for (const auto& id : truth["foreign"][key]) {
                EXPECT_EQ(own.count(id.get<std::string>()), 0u) << id;
                EXPECT_NE(log.find(id.get<std::string>()), std::string::npos) << id;
            }
        }
    }
    EXPECT_FALSE(makeScenario("no-such-scenario", 1));
}

} // namespace
} // namespace corvane::gen
