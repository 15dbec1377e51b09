#include "LogLines.h"
#include "TempDir.h"
#include "capture/DataFolder.h"
#include "sift/Sift.h"
#include "util/JsonFile.h"

#include <algorithm>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <random>

namespace corvane::Sift {
namespace {

namespace fs = std::filesystem;
using test::readText;
using test::TempDir;
using test::writeText;
using ::testing::ElementsAre;

constexpr int64_t kStart = 1'800'000'000; // 2027-01-15 08:00:00 UTC

std::string viewLine(int64_t capture, const std::string& text) {
    return test::evidenceLine(capture, capture - 1, 250000, "sharingd: found DirectLink " + text);
}

void append(const fs::path& folder, std::string_view bytes) {
    std::ofstream(DataFolder(folder).evidenceLog(), std::ios::binary | std::ios::app) << bytes;
}

State stateOf(const fs::path& folder) {
    return loadState(DataFolder(folder).liveState());
}

/// Everything a pass leaves behind, for comparing two data folders.
struct Outputs {
    State state;
    std::string view, all, days, summary;
    bool operator==(const Outputs&) const = default;
};

Outputs outputsOf(const fs::path& folder) {
    return {stateOf(folder), readText(DataFolder(folder).viewLog()),
            readText(DataFolder(folder).allFile()), readText(DataFolder(folder).daysFile()),
            readText(DataFolder(folder).summaryFile())};
}

TEST(Pass, ConsumesOnlyCompleteLinesAndResumesAtTheOffset) {
    TempDir dir;
    EXPECT_EQ(runPass(dir.path(), kStart).outcome, PassOutcome::NoLog);
    EXPECT_FALSE(fs::exists(DataFolder(dir).liveState()));

    const std::string a = viewLine(kStart, std::string(160, 'a')); // longer than the head
    const std::string b = viewLine(kStart + 1, "b");
    append(dir.path(), a + "\n\n\n" + b.substr(0, 30));
    auto result = runPass(dir.path(), kStart);
    EXPECT_EQ(result.outcome, PassOutcome::NewLines);
    EXPECT_EQ(result.linesIngested, 1u); // the empty lines are skipped, their bytes consumed
    EXPECT_EQ(stateOf(dir.path()).offset, a.size() + 3);

    append(dir.path(), b.substr(30)); // still no line feed: nothing moves
    EXPECT_EQ(runPass(dir.path(), kStart).outcome, PassOutcome::NothingNew);
    append(dir.path(), "\n");
    EXPECT_EQ(runPass(dir.path(), kStart).linesIngested, 1u);
    EXPECT_THAT(stateOf(dir.path()).view, ElementsAre(a, b)); // the line arrived whole
    EXPECT_EQ(stateOf(dir.path()).offset, fs::file_size(DataFolder(dir).evidenceLog()));
    EXPECT_EQ(readText(DataFolder(dir).viewLog()), a + "\n" + b);
}

TEST(Pass, AClockThatRanAheadAndCameBackHidesNoEvidence) {
    // The same log, analysed once with a steady clock and once with a clock that ran three
    // days ahead for a pass and was then set right.
    TempDir steady;
    TempDir jumped;
    const std::string log = test::variedLog(50, kStart);
    append(steady.path(), log);
    append(jumped.path(), log);
    runPass(steady.path(), kStart + 120);

    runPass(jumped.path(), kStart + 60);
    ASSERT_FALSE(stateOf(jumped.path()).dPeer.empty());
    runPass(jumped.path(), kStart + 3 * 86400);
    EXPECT_TRUE(stateOf(jumped.path()).dPeer.empty()) << "as of that clock, all is old";
    // A clock a little behind the latest pass is no jump.
    EXPECT_EQ(runPass(jumped.path(), kStart + 3 * 86400 - kClockSlack).outcome,
              PassOutcome::NothingNew);

    const auto back = runPass(jumped.path(), kStart + 120);
    EXPECT_EQ(back.outcome, PassOutcome::ClockWentBack);
    EXPECT_EQ(back.linesIngested, 50u);
    EXPECT_EQ(outputsOf(jumped.path()), outputsOf(steady.path()));
    EXPECT_EQ(runPass(jumped.path(), kStart + 165).outcome, PassOutcome::NothingNew);
}

TEST(Pass, ReplacedOrTruncatedLogIsReadAgainFromTheStart) {
    TempDir dir;
    const std::string first = viewLine(kStart, std::string(200, 'x'));
    append(dir.path(), first + "\n" + viewLine(kStart + 1, "second") + "\n");
    runPass(dir.path(), kStart);

    writeText(DataFolder(dir).evidenceLog(), first + "\n"); // same head, shorter than consumed
    EXPECT_EQ(runPass(dir.path(), kStart).outcome, PassOutcome::LogReplaced);
    EXPECT_THAT(stateOf(dir.path()).view, ElementsAre(first));

    const std::string other = viewLine(kStart + 2, std::string(200, 'y'));
    writeText(DataFolder(dir).evidenceLog(), other + "\n");
    EXPECT_EQ(runPass(dir.path(), kStart).outcome, PassOutcome::LogReplaced);
    EXPECT_THAT(stateOf(dir.path()).view, ElementsAre(other));

    // Emptied, with a state file that does not decode: a fresh state is written all the same.
    writeText(DataFolder(dir).evidenceLog(), "");
    writeText(DataFolder(dir).liveState(), "{\"head\": \"\"");
    runPass(dir.path(), kStart);
    const auto json = util::readJson(DataFolder(dir).liveState(), Sift::kMaxStateFileBytes);
    ASSERT_TRUE(json && fromJson(*json));
    State fresh;
    fresh.passTime = kStart;
    EXPECT_EQ(*fromJson(*json), fresh);
}

TEST(Pass, DemoPassTouchesOnlyTheDemoState) {
    TempDir dir;
    append(dir.path(), viewLine(kStart, "live") + "\n");
    runPass(dir.path(), kStart);
    const Outputs live = outputsOf(dir.path());
    writeText(DataFolder(dir).allFile(), "canned");
    writeText(DataFolder(dir).demoLog(), "demo");

    runPass(dir.path(), kStart);
    EXPECT_EQ(loadState(DataFolder(dir).demoState()).head, "demo");
    EXPECT_EQ(stateOf(dir.path()), live.state);
    EXPECT_EQ(readText(DataFolder(dir).viewLog()), live.view);
    EXPECT_EQ(readText(DataFolder(dir).allFile()), "canned");

    fs::remove(DataFolder(dir).demoLog());
    runPass(dir.path(), kStart);
    EXPECT_EQ(readText(DataFolder(dir).allFile()), live.all);
}

/// Feeds `log` to a fresh data folder in slices ending at `cuts`, one pass after each.
Outputs passInSlices(const std::string& log, const std::vector<size_t>& cuts, double now) {
    TempDir folder;
    size_t at = 0;
    for (const size_t cut : cuts) {
        append(folder.path(), std::string_view(log).substr(at, cut - at));
        at = cut;
        runPass(folder.path(), now);
    }
    return outputsOf(folder.path());
}

TEST(PassSlices, IncrementalPassesEqualOnePass) {
    const std::string log = test::variedLog(1000, kStart);
    const double now = kStart + 1060;
    const Outputs once = passInSlices(log, {log.size()}, now);
    const State& s = once.state; // every part of the state takes part in the comparison
    ASSERT_TRUE(!s.dPeer.empty() && !s.aPeer.empty() && !s.macTail.empty() && !s.owner.empty() &&
                !s.cul.empty() && !s.access.empty() && !s.recentRes.empty() && !s.pairs.empty() &&
                !s.kbd.empty() && !s.ble.empty() && !s.view.empty());

    // A short log that grows through the head, then cuts anywhere (inside lines and
    // multi-byte characters), empty appends among them, and now and then a large one.
    std::mt19937 random(20270115);
    std::vector<size_t> cuts = {0, 5, 100, 159, 160, 161};
    while (cuts.back() < log.size()) {
        const auto kind = std::uniform_int_distribution<int>(0, 9)(random);
        const size_t step = kind == 0  ? 0
                            : kind < 8 ? std::uniform_int_distribution<size_t>(1, 400)(random)
                                       : std::uniform_int_distribution<size_t>(1, 40000)(random);
        cuts.push_back(std::min(log.size(), cuts.back() + step));
    }
    EXPECT_EQ(passInSlices(log, cuts, now), once);
}

TEST(PassSlices, LinesLongerThanTheCapAreCutTheSameWayWhereverTheReadsFall) {
    constexpr size_t kCap = size_t{1} << 20; // the pass's line cut
    // The account of a line over the cap counts only when the marker it needs lies within it.
    const auto longLine = [](int64_t t, const std::string& id, size_t size) {
        std::string line = test::evidenceLine(t, t, 0, "found DirectLink owner IDS '" + id + "' ");
        line += std::string(size - line.size() - 18, 'q');
        return line + " SameAccountDevice";
    };
    std::vector<std::string> pieces = {test::variedLog(400, kStart)};
    pieces.push_back(test::evidenceLine(kStart + 400, kStart + 400, 0,
                                        "found DirectLink SameAccountDevice owner IDS 'Long' ") +
                     std::string(3u << 20, 'q'));
    for (const size_t size : {kCap - 1, kCap, kCap + 1, 2 * kCap}) {
        pieces.push_back(longLine(kStart + 401, "Len" + std::to_string(size - kCap + 1), size));
    }
    pieces.push_back(test::variedLog(400, kStart + 402));
    std::string log;
    std::vector<size_t> cuts;
    for (const auto& piece : pieces) {
        // Every class of boundary: before a line, inside it short of the cap, at the cap and
        // past it, before its line feed and after it.
        for (const size_t at : {size_t{0}, size_t{1000}, kCap - 1, kCap, kCap + 1, piece.size()}) {
            if (at <= piece.size()) {
                cuts.push_back(log.size() + at);
            }
        }
        log += piece + "\n";
    }
    cuts.push_back(log.size());
    const double now = kStart + 900;
    TempDir folder;
    writeText(DataFolder(folder).evidenceLog(), log);
    const auto result = runPass(folder.path(), now);
    EXPECT_EQ(result.linesIngested, 805u);
    EXPECT_EQ(result.bytesConsumed, log.size());
    const State state = stateOf(folder.path());
    EXPECT_EQ(state.cul.count("Long"), 1u);
    EXPECT_EQ(state.cul.count("Len0"), 1u) << "one byte short of the cap: whole";
    EXPECT_EQ(state.cul.count("Len1"), 1u) << "at the cap: whole";
    EXPECT_EQ(state.cul.count("Len2") + state.cul.count("Len1048577"), 0u) << "past it: cut";
    const auto stored = std::find_if(state.view.begin(), state.view.end(),
                                     [](const auto& line) { return line.ends_with("…"); });
    ASSERT_NE(stored, state.view.end());
    EXPECT_EQ(*stored, pieces[1].substr(0, kMaxViewLineBytes) + "…");
    EXPECT_EQ(passInSlices(log, cuts, now), outputsOf(folder.path()));
}

} // namespace
} // namespace corvane::Sift
