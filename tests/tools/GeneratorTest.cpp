#include "gen/Generator.h"

#include "TempDir.h"
#include "TestConfig.h"
#include "baseline/Baseline.h"
#include "capture/DataFolder.h"
#include "gen/Scenario.h"
#include "sift/Dashboard.h"
#include "sift/Sift.h"
#include "util/JsonFile.h"
#include "util/LocalTime.h"
#include "util/Utf8.h"

#include <array>
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

/// The capture's log predicate: one of the three daemons, and a message with one of its words.
bool capturePredicateSelects(std::string_view syslogLine) {
    const size_t host = syslogLine.find("  localhost ");
    const size_t bracket = syslogLine.find('[', host);
    const size_t colon = syslogLine.find("]: ", bracket);
    if (host == std::string_view::npos || bracket == std::string_view::npos ||
        colon == std::string_view::npos) {
        return false;
    }
    const std::string_view process = syslogLine.substr(host + 12, bracket - host - 12);
    if (process != "rapportd" && process != "sharingd" && process != "bluetoothd") {
        return false;
    }
    // The message proper follows "(subsystem) [category] ".
    std::string_view message = syslogLine.substr(colon + 3);
    const size_t category = message.find("] ");
    if (category != std::string_view::npos) {
        message.remove_prefix(category + 2);
    }
    static constexpr std::array<std::string_view, 10> words{
        "SameAccountDevice", "DeviceAuthTag",        "DirectLink", "AcLv",
        "AuthTag",           "NeedsKeyboard",        "Evaluating", "EnhancedDiscovery",
        "FILE SHARING",      "RPRemoteDisplayDaemon"};
    for (const std::string_view w : words) {
        if (message.find(w) != std::string_view::npos) {
            return true;
        }
    }
    return false;
}

/// "IDS " followed by a UUID rather than an account.
bool hasIdsUuid(std::string_view line) {
    for (size_t at = line.find("IDS "); at != std::string_view::npos;
         at = line.find("IDS ", at + 1)) {
        const std::string_view rest = line.substr(at + 4);
        if (rest.size() >= 36 && rest[8] == '-' && rest[13] == '-' &&
            rest.substr(0, 8).find_first_not_of("0123456789ABCDEF") == std::string_view::npos) {
            return true;
        }
    }
    return false;
}

/// Seconds since 1970 of a syslog line's leading "yyyy-MM-dd HH:mm:ss.ffffff".
std::optional<double> eventTime(std::string_view syslogLine) {
    if (syslogLine.size() < 26 || syslogLine[19] != '.') {
        return std::nullopt;
    }
    const auto seconds = util::parseLocalDateTime(syslogLine.substr(0, 19));
    if (!seconds) {
        return std::nullopt;
    }
    return static_cast<double>(*seconds) + std::stod(std::string(syslogLine.substr(20, 6))) / 1e6;
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

TEST(Generator, CaptureTimesNeverDecreaseAndStayInTheDuration) {
    Options options;
    options.duration = 30 * 60;
    Generator generator(options);
    std::string line;
    double epoch = 0;
    double previous = options.start;
    size_t lines = 0;
    while (generator.next(line, epoch)) {
        ASSERT_GE(epoch, previous) << line;
        const auto written = eventTime(line);
        ASSERT_TRUE(written) << line;
        // The printed time is the event time, to the microsecond.
        ASSERT_NEAR(*written, epoch, 1e-6) << line;
        previous = epoch;
        ++lines;
    }
    EXPECT_LE(previous, options.start + options.duration);
    // A few lines a second on average.
    EXPECT_GT(lines, 30 * 60 * 2);
    EXPECT_LT(lines, 30 * 60 * 4);
}

TEST(Generator, EvidenceLinesHaveTheCaptureShape) {
    EvidenceOptions options;
    options.maxLines = 20000;
    const auto lines = evidenceLines(options);
    ASSERT_EQ(lines.size(), 20001u);
    EXPECT_EQ(lines[0].substr(19), " | \u2014 CV-APP capture started");

    std::optional<int64_t> previousStamp;
    for (const std::string& line : lines) {
        ASSERT_TRUE(util::isValidUtf8(line)) << line;
        ASSERT_GT(line.size(), 22u) << line;
        ASSERT_EQ(line.substr(19, 3), " | ") << line;
        const auto stamp = util::parseLocalDateTime(line.substr(0, 19));
        ASSERT_TRUE(stamp) << line;
        ASSERT_GE(*stamp, previousStamp.value_or(*stamp)) << line;
        previousStamp = stamp;
        if (&line == &lines[0]) {
            continue;
        }
        const std::string_view payload = std::string_view(line).substr(22);
        const auto event = eventTime(payload);
        ASSERT_TRUE(event) << line;
        // Stamped when read, a fraction of a second after the event.
        EXPECT_LE(*event, static_cast<double>(*stamp) + 1) << line;
        EXPECT_GE(*event, static_cast<double>(*stamp) - 1) << line;
        // The capture keeps only what its predicate selects.
        ASSERT_TRUE(capturePredicateSelects(payload)) << line;
    }
}

TEST(Generator, EvidenceByteLimitStopsWithinOneLine) {
    EvidenceOptions options;
    options.ownerActiveMinutes = 0; // the same lines whichever limit ends the log
    options.maxBytes = 250000;
    std::string limited;
    ASSERT_TRUE(generateEvidence(options, [&](std::string_view block) {
        limited += block;
        return true;
    }));
    ASSERT_LE(limited.size(), options.maxBytes);

    // One line more than the limited log holds would not have fitted.
    const auto lines = splitLines(limited);
    options.maxBytes = 0;
    options.maxLines = lines.size(); // the marker is not counted, so this is one line more
    const auto longer = evidenceLines(options);
    ASSERT_EQ(longer.size(), lines.size() + 1);
    EXPECT_TRUE(std::equal(lines.begin(), lines.end(), longer.begin()));
    EXPECT_GT(limited.size() + longer.back().size() + 1, 250000u);
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

TEST(Generator, OwnerPhoneRotatesItsAddressButKeepsItsTokens) {
    Options options;
    options.duration = 3600;
    const std::string found = "device found ";
    std::set<std::string> addresses;
    std::set<std::string> tokens;
    for (const std::string& line : captureLines(options)) {
        const size_t at = line.find(found);
        if (at == std::string::npos || line.find("Alex\u2019s iPhone") == std::string::npos) {
            continue;
        }
        addresses.insert(line.substr(at + found.size(), 17));
        const size_t token = line.find("nbIAT <");
        ASSERT_NE(token, std::string::npos) << line;
        tokens.insert(line.substr(token, 15));
    }
    EXPECT_GE(addresses.size(), 4u);
    EXPECT_EQ(tokens.size(), 1u);
}

TEST(Generator, CaptureVerdictGoesFromPendingToCleanToCompromised) {
    // The capture as the monitor would write it, analysed by passes along the way.
    TempDir dir;
    Options options;
    options.duration = 12 * 60;
    Generator generator(options);
    std::string log;
    std::string line;
    double epoch = 0;
    bool more = generator.next(line, epoch);
    std::vector<std::string> verdicts;
    for (const double minute : {1.5, 4.0, 12.0}) {
        for (; more && epoch < options.start + minute * 60; more = generator.next(line, epoch)) {
            if (capturePredicateSelects(line)) {
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
    EXPECT_LT(bundled.size(), 2u << 20);
    // A changed generator needs the sample regenerated with the command in tools/gen/main.cpp.
    EXPECT_TRUE(regenerated == bundled);
}

TEST(Generator, BundledSampleHoldsEveryKindOfLine) {
    const auto lines =
        splitLines(readText(std::string(CORVANE_SOURCE_DIR) + "/resources/sample_capture.log"));
    ASSERT_FALSE(lines.empty());

    // Each kind, by the words that make it, and how many a 12-minute sample should have.
    const std::vector<std::pair<std::vector<std::string_view>, size_t>> kinds{
        {{"EnhancedDiscovery: device found", "iPhone", "RSSI", "nbIAT <", "AT <"}, 50},
        {{"EnhancedDiscovery: Addr ", "RSSI"}, 10},
        {{"CBDevice ", "RSSI"}, 3},
        {{"SFBLEDevice ID ", "RSSI"}, 1},
        {{"CUBonjourDevice", "TT 0x10", "stID "}, 50},
        {{"CUBonjourDevice", "TT 0x10", ", CUBonjourDevice"}, 3},
        {{"CUBonjourDevice", "TT 0x10", "DeviceAuthTag: owner"}, 10},
        {{"CUBonjourDevice", "< AWDL >", "TT 0x04", "IDS '", "AID '"}, 10},
        {{"SameAccountDevice", "IDS '", "owner"}, 5},
        {{"SameAccountDevice", "PairVerify"}, 2},
        {{"RPIdentityDaemon", "Resolved DeviceAuthTag", "< AWDL >", "CUBonjourDevice", "IDS '"},
         10},
        {{"CLinkD", "connection", "AcLv = Screen (7)", "client CID 0x", "SF 0x"}, 10},
        {{"CLinkD", "connection", "AcLv Keyboard(5)"}, 3},
        {{"RPRemoteDisplayDaemon", "Screen (7)"}, 3},
        {{"bluetoothd", "NeedsKeyboard", "nbAT <"}, 3},
        {{"sharingd", "NeedsKeyboard"}, 1},
        {{"Evaluating AuthTag from device BLE addr", "selfAuthTag <", "DsFl 0x"}, 10},
        {{"Evaluating", "IDS ", "AcLv"}, 10},
        {{"found AWDL"}, 5},
        {{"found DirectLink"}, 5},
    };
    for (const auto& [words, minimum] : kinds) {
        size_t count = 0;
        for (const std::string& line : lines) {
            bool all = true;
            for (const std::string_view w : words) {
                all = all && line.find(w) != std::string::npos;
            }
            count += all;
        }
        EXPECT_GE(count, minimum) << words.front() << " … " << words.back();
    }

    size_t selected = 0;
    size_t idsUuid = 0;
    size_t bareIds = 0;
    size_t longLines = 0;
    size_t foreignProcesses = 0;
    for (const std::string& line : lines) {
        selected += capturePredicateSelects(line);
        const bool uuid = hasIdsUuid(line);
        idsUuid += uuid && line.find("TT 0x10") != std::string::npos;
        bareIds += !uuid && line.find("IDS ") != std::string::npos &&
                   line.find("IDS '") == std::string::npos;
        longLines += line.size() > 2000;
        foreignProcesses += line.find("rapportd[") == std::string::npos &&
                            line.find("sharingd[") == std::string::npos &&
                            line.find("bluetoothd[") == std::string::npos;
        // Whatever the analysis reads must reach the evidence log.
        for (const char* marker : {"CUBonjourDevice", "AcLv", "NeedsKeyboard", "Evaluating",
                                   "SameAccountDevice", "RSSI"}) {
            if (line.find(marker) != std::string::npos) {
                ASSERT_TRUE(capturePredicateSelects(line)) << line;
            }
        }
    }
    EXPECT_GT(idsUuid, 0u);
    EXPECT_GT(bareIds, 0u);
    EXPECT_GT(longLines, 0u);
    EXPECT_GT(foreignProcesses, 100u);
    // Noise of the three daemons too: the predicate must have something to drop.
    EXPECT_GT(lines.size() - selected, foreignProcesses + 50);
}

TEST(Generator, SampleMakesEveryAnalysisRuleFire) {
    Options options;
    options.duration = 12 * 60;
    Generator generator(options);
    Sift::State state;
    std::string line;
    double epoch = 0;
    size_t connections = 0;
    while (generator.next(line, epoch)) {
        if (!capturePredicateSelects(line)) {
            continue;
        }
        connections += line.find("CLinkD connection") != std::string::npos;
        Sift::ingestLine(util::formatLocalDateTime(static_cast<int64_t>(epoch) + 1) + " | " + line,
                         state);
    }
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

TEST(Scenario, CommandWritesTheLogAndItsTruth) {
    TempDir dir;
    const std::string command = std::string("'") + CORVANE_BIN_DIR +
                                "/corvane-gen' scenario foreign-awdl --seed 5 --out '" +
                                (dir / "out").string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const auto scenario = makeScenario("foreign-awdl", 5);
    std::string log;
    for (const auto& line : scenario->lines) {
        log += line + '\n';
    }
    EXPECT_EQ(readText(dir / "out/CV_personal.log"), log);
    EXPECT_EQ(util::readJsonObject(dir / "out/truth.json", 1 << 20), scenario->truth);
    const std::string unknown = std::string("'") + CORVANE_BIN_DIR +
                                "/corvane-gen' scenario bogus --out '" + (dir / "x").string() +
                                "' 2>/dev/null";
    EXPECT_NE(std::system(unknown.c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(dir / "x"));
}

} // namespace
} // namespace corvane::gen
