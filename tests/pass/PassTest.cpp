#include "LogLines.h"
#include "TempDir.h"
#include "sift/Sift.h"
#include "util/JsonFile.h"
#include "util/Utf8.h"

#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <random>

namespace corvane::Sift {
namespace {

namespace fs = std::filesystem;
using test::evidenceLine;
using test::readText;
using test::TempDir;
using test::writeText;
using ::testing::ElementsAre;

constexpr int64_t kStart = 1'800'000'000; // 2027-01-15 08:00:00 UTC

std::string viewLine(int64_t capture, const std::string& text) {
    return evidenceLine(capture, capture - 1, 250000, "sharingd: found DirectLink " + text);
}

/// Everything a pass leaves behind, for comparing two data folders.
struct Outputs {
    State state;
    std::string view, all, days, summary;
    bool operator==(const Outputs&) const = default;
};

Outputs outputsOf(const fs::path& folder) {
    return {loadState(folder / "cv_state_live.json"), readText(folder / "CV_view.log"),
            readText(folder / "sift/ALL.json"), readText(folder / "sift/days.json"),
            readText(folder / "sift/summary.json")};
}

class PassTest : public ::testing::Test {
  protected:
    fs::path log() const { return dir / "CV_personal.log"; }
    void append(std::string_view bytes) const {
        std::ofstream(log(), std::ios::binary | std::ios::app) << bytes;
    }
    PassResult pass(double now = kStart + 3600) const { return runPass(dir.path(), now); }
    State state() const { return loadState(dir / "cv_state_live.json"); }

    TempDir dir;
};

TEST_F(PassTest, MissingLogEndsThePassWithoutWriting) {
    EXPECT_EQ(pass().outcome, PassOutcome::NoLog);
    EXPECT_TRUE(fs::is_directory(dir / "sift"));
    EXPECT_FALSE(fs::exists(dir / "cv_state_live.json"));
    EXPECT_FALSE(fs::exists(dir / "CV_view.log"));
    EXPECT_FALSE(fs::exists(dir / "sift/ALL.json"));
}

TEST_F(PassTest, EmptyLogStillPrunesSavesAndWritesTheDashboard) {
    State stale;
    stale.dPeer["AA:BB:CC:DD:EE:FF"] = Peer{1, 2, "00:00:02", "1970-01-01", 1};
    stale.minE = 1;
    stale.maxE = 2;
    ASSERT_TRUE(saveState(stale, dir / "cv_state_live.json"));
    append("");

    const auto result = pass();
    EXPECT_EQ(result.outcome, PassOutcome::NothingNew);
    EXPECT_EQ(state(), State{});
    EXPECT_EQ(readText(dir / "CV_view.log"), "");
    EXPECT_THAT(readText(dir / "sift/ALL.json"), ::testing::HasSubstr("\"PENDING\""));
    EXPECT_TRUE(fs::exists(dir / "sift/days.json"));
    EXPECT_TRUE(fs::exists(dir / "sift/summary.json"));

    // A state file that does not decode is replaced even when the pass finds nothing to do.
    writeText(dir / "cv_state_live.json", "{\"head\": \"\"");
    EXPECT_EQ(pass().outcome, PassOutcome::NothingNew);
    const auto json = util::readJson(dir / "cv_state_live.json");
    ASSERT_TRUE(json);
    EXPECT_TRUE(fromJson(*json));
}

TEST_F(PassTest, ConsumesOnlyCompleteLinesAndResumesAtTheOffset) {
    const std::string a = viewLine(kStart, "a" + std::string(160, 'a')); // past the head
    const std::string b = viewLine(kStart + 1, "b");
    append(a + "\n\n\n" + b.substr(0, 30));

    auto result = pass();
    EXPECT_EQ(result.outcome, PassOutcome::NewLines);
    EXPECT_EQ(result.linesIngested, 1u); // the empty lines are skipped, their bytes consumed
    EXPECT_EQ(result.bytesConsumed, a.size() + 3);
    EXPECT_EQ(state().offset, a.size() + 3);

    append(b.substr(30)); // still no line feed: nothing moves
    EXPECT_EQ(pass().outcome, PassOutcome::NothingNew);
    EXPECT_EQ(state().offset, a.size() + 3);

    append("\n");
    result = pass();
    EXPECT_EQ(result.linesIngested, 1u);
    EXPECT_EQ(state().offset, fs::file_size(log()));
    EXPECT_THAT(state().view, ElementsAre(a, b)); // the line arrived in one piece
    EXPECT_EQ(readText(dir / "CV_view.log"), a + "\n" + b);

    result = pass();
    EXPECT_EQ(result.outcome, PassOutcome::NothingNew);
    EXPECT_EQ(result.linesIngested, 0u);
    EXPECT_THAT(state().view, ElementsAre(a, b));
}

TEST_F(PassTest, ReplacedOrTruncatedLogIsReadAgainFromTheStart) {
    const std::string first = viewLine(kStart, "first " + std::string(200, 'x'));
    const std::string second = viewLine(kStart + 1, "second");
    append(first + "\n" + second + "\n");
    pass();

    // Same first 160 bytes, but shorter than what was consumed.
    writeText(log(), first + "\n");
    auto result = pass();
    EXPECT_EQ(result.outcome, PassOutcome::LogReplaced);
    EXPECT_THAT(state().view, ElementsAre(first));
    EXPECT_EQ(state().offset, first.size() + 1);

    // A different log from its first byte on.
    const std::string other = viewLine(kStart + 2, "other " + std::string(200, 'y'));
    writeText(log(), other + "\n");
    result = pass();
    EXPECT_EQ(result.outcome, PassOutcome::LogReplaced);
    EXPECT_THAT(state().view, ElementsAre(other));
    EXPECT_EQ(state().head, other.substr(0, 160));

    // Emptied: a fresh state.
    writeText(log(), "");
    EXPECT_EQ(pass().outcome, PassOutcome::LogReplaced);
    EXPECT_EQ(state(), State{});
}

TEST_F(PassTest, ShortLogIsReadAgainAsItGrowsWithoutCountingAsReplaced) {
    const std::string a = viewLine(kStart, "a");
    const std::string b = viewLine(kStart + 1, "b");
    ASSERT_LT(a.size() + 1, 160u);
    append(a + "\n");
    EXPECT_EQ(pass().outcome, PassOutcome::NewLines);
    append(b + "\n");
    const auto result = pass();
    EXPECT_EQ(result.outcome, PassOutcome::NewLines);
    EXPECT_EQ(result.linesIngested, 2u); // from the first byte again, as the head changed
    EXPECT_THAT(state().view, ElementsAre(a, b));
    EXPECT_EQ(state().head, (a + "\n" + b).substr(0, 160));
}

TEST_F(PassTest, InvalidUtf8IsReplacedWhileTheOffsetCountsRawBytes) {
    const std::string raw = viewLine(kStart, "bad \xff\xfe and cut \xe2\x80 end");
    append(raw + "\n");
    pass();
    ASSERT_EQ(state().view.size(), 1u);
    EXPECT_EQ(state().view[0], util::replaceInvalidUtf8(raw));
    EXPECT_THAT(state().view[0], ::testing::HasSubstr("bad \uFFFD\uFFFD and cut \uFFFD end"));
    EXPECT_EQ(state().offset, raw.size() + 1);
    EXPECT_TRUE(util::isValidUtf8(readText(dir / "CV_view.log")));
}

TEST_F(PassTest, HeadIsTheReplacementDecodedFirst160Bytes) {
    // A three-byte character cut by the 160th byte.
    const std::string prefix = viewLine(kStart, std::string(200, 'z')).substr(0, 158);
    append(prefix + "—" + "\n");
    pass();
    EXPECT_EQ(state().head, prefix + "\uFFFD");
    EXPECT_EQ(pass().outcome, PassOutcome::NothingNew); // and it matches on the next pass
}

TEST_F(PassTest, RetentionKeepsExactlyOneDayAndRecounts) {
    const double now = kStart + 100000;
    const double edge = now - 86400;
    const std::string kept = "AA:00:00:00:00:01";
    const std::string gone = "AA:00:00:00:00:02";
    const std::string awdl = "AA:00:00:00:00:03";
    State s;
    s.head = "";
    s.dPeer[kept] = Peer{edge - 50, edge, "h", "d", 2};
    s.dPeer[gone] = Peer{edge - 50, edge - 0.001, "h", "d", 2};
    s.aPeer[awdl] = Peer{edge + 10, edge + 20, "h", "d", 1};
    s.aPeer[gone] = Peer{edge - 9, edge - 1, "h", "d", 1}; // gone from both peer maps
    for (const auto& m : {kept, gone, awdl}) {
        s.macTail[m]["TAIL00000000"] = 1;
        s.macAid[m]["aid"] = 1;
        s.owner.insert(m);
    }
    s.dAdsid[kept]["A"] = 1;
    s.dAdsid[gone]["A"] = 1;
    s.dAdsid[awdl]["A"] = 1; // an AWDL-only MAC has no place in the DirectLink account map
    s.aAdsid[awdl]["B"] = 1;
    s.aAdsid[kept]["B"] = 1;
    s.cul["old"] = Cul{"x", 1, edge - 5, edge - 1};
    s.cul["new"] = Cul{"x", 1, edge - 5, edge};
    s.access["old"] = Acc{edge - 1, "d", "h", "Screen sharing", "—", "—", "—"};
    s.access["new"] = Acc{edge, "d", "h", "Screen sharing", "—", "—", "—"};
    s.recentRes = {Res{edge - 1, "d", "m", "i", "a"}, Res{edge, "d", "m", "i", "a"}};
    s.pairs = {PairRow{edge - 1, "", "", "", "", "", "", "", "", true},
               PairRow{edge, "", "", "", "", "", "", "", "", true},
               PairRow{edge + 1, "", "", "", "", "", "", "", "", false}};
    s.pairsTotal = 4003;
    s.pairsScreen = 4002;
    s.kbd = {KbdRow{edge - 1, "", "", "", "", "", ""}, KbdRow{edge, "", "", "", "", "", ""}};
    s.kbdTotal = 7;
    s.ble = {BleRow{edge - 1, "", ""}};
    s.bleTotal = 7;
    s.minE = 1;
    s.maxE = 2;
    ASSERT_TRUE(saveState(s, dir / "cv_state_live.json"));
    append("");

    pass(now);
    const State after = state();
    EXPECT_THAT(after.dPeer, ::testing::SizeIs(1));
    EXPECT_TRUE(after.dPeer.count(kept));
    EXPECT_THAT(after.aPeer, ::testing::SizeIs(1));
    EXPECT_EQ(after.owner, (std::set<std::string>{kept, awdl}));
    EXPECT_THAT(after.macTail, ::testing::SizeIs(2));
    EXPECT_THAT(after.macAid, ::testing::SizeIs(2));
    EXPECT_THAT(after.dAdsid, ::testing::SizeIs(1));
    EXPECT_TRUE(after.dAdsid.count(kept));
    EXPECT_THAT(after.aAdsid, ::testing::SizeIs(1));
    EXPECT_TRUE(after.aAdsid.count(awdl));
    EXPECT_THAT(after.cul, ::testing::SizeIs(1));
    EXPECT_TRUE(after.cul.count("new"));
    EXPECT_THAT(after.access, ::testing::SizeIs(1));
    EXPECT_TRUE(after.access.count("new"));
    EXPECT_THAT(after.recentRes, ::testing::SizeIs(1));
    EXPECT_EQ(after.pairsTotal, 2);
    EXPECT_EQ(after.pairsScreen, 1);
    EXPECT_EQ(after.kbdTotal, 1);
    EXPECT_EQ(after.bleTotal, 0);
    EXPECT_EQ(after.minE, edge - 50);
    EXPECT_EQ(after.maxE, edge + 20);

    // A day later nothing is left, and the bounds say so.
    pass(now + 86400);
    const State empty = state();
    EXPECT_TRUE(empty.dPeer.empty());
    EXPECT_TRUE(empty.aPeer.empty());
    EXPECT_EQ(empty.minE, kMaxDouble);
    EXPECT_EQ(empty.maxE, 0);
}

TEST_F(PassTest, DemoPassTouchesOnlyTheDemoState) {
    append(viewLine(kStart, "live") + "\n");
    pass();
    const Outputs live = outputsOf(dir.path());
    writeText(dir / "sift/ALL.json", "canned");
    writeText(dir / "CV_demo.log", "demo");

    EXPECT_EQ(pass().outcome, PassOutcome::NothingNew);
    EXPECT_TRUE(fs::exists(dir / "cv_state_demo.json"));
    EXPECT_EQ(loadState(dir / "cv_state_demo.json").head, "demo");
    EXPECT_EQ(state(), live.state);
    EXPECT_EQ(readText(dir / "CV_view.log"), live.view);
    EXPECT_EQ(readText(dir / "sift/ALL.json"), "canned");

    fs::remove(dir / "CV_demo.log");
    EXPECT_EQ(pass().outcome, PassOutcome::NothingNew);
    EXPECT_EQ(readText(dir / "sift/ALL.json"), live.all);
}

/// Feeds `log` to a fresh data folder in the given slices, one pass after each.
Outputs passInSlices(const std::string& log, const std::vector<size_t>& cuts, double now) {
    TempDir folder;
    size_t at = 0;
    for (const size_t cut : cuts) {
        std::ofstream(folder / "CV_personal.log", std::ios::binary | std::ios::app)
            << log.substr(at, cut - at);
        at = cut;
        runPass(folder.path(), now);
    }
    return outputsOf(folder.path());
}

TEST(PassSlices, IncrementalPassesEqualOnePass) {
    const int lines = 1000;
    const std::string log = test::variedLog(lines, kStart);
    const double now = kStart + lines + 60;
    const Outputs once = passInSlices(log, {log.size()}, now);
    // Every part of the state takes part in the comparison.
    const State& s = once.state;
    ASSERT_TRUE(!s.dPeer.empty() && !s.aPeer.empty() && !s.macTail.empty() && !s.owner.empty());
    ASSERT_TRUE(!s.cul.empty() && !s.access.empty() && !s.recentRes.empty() && !s.view.empty());
    ASSERT_TRUE(!s.pairs.empty() && !s.kbd.empty() && !s.ble.empty());

    std::mt19937 random(20270115);
    std::vector<size_t> cuts = {0, 5, 100, 159, 160, 161}; // a short log that grows
    size_t at = 161;
    while (at < log.size()) {
        // Mostly small appends, cut anywhere (inside lines and multi-byte characters),
        // some empty ones, and now and then a large one.
        const auto kind = std::uniform_int_distribution<int>(0, 9)(random);
        const size_t step = kind == 0  ? 0
                            : kind < 8 ? std::uniform_int_distribution<size_t>(1, 400)(random)
                                       : std::uniform_int_distribution<size_t>(1, 40000)(random);
        at = std::min(log.size(), at + step); // a step of 0 is an empty append
        cuts.push_back(at);
    }
    EXPECT_EQ(passInSlices(log, cuts, now), once);
}

TEST(PassSlices, LinesLongerThanAReadAreCarriedWhole) {
    // Several megabytes, with one line far longer than a read, cut anywhere.
    std::string log = test::variedLog(4000, kStart);
    log += evidenceLine(kStart + 4000, kStart + 4000, 0,
                        "sharingd: " + std::string(9u << 20, 'q') +
                            " SameAccountDevice owner IDS 'Long01'") +
           "\n" + test::variedLog(4000, kStart + 4001);
    const double now = kStart + 9000;

    TempDir folder;
    writeText(folder / "CV_personal.log", log);
    const auto result = runPass(folder.path(), now);
    EXPECT_EQ(result.linesIngested, 8001u);
    EXPECT_EQ(result.bytesConsumed, log.size());
    EXPECT_EQ(loadState(folder / "cv_state_live.json").cul.count("Long01"), 1u);

    const Outputs once = outputsOf(folder.path());
    EXPECT_EQ(passInSlices(log, {log.size() / 3, log.size() / 2 + 7, log.size()}, now), once);
}

} // namespace
} // namespace corvane::Sift
