#include "sift/Dashboard.h"

#include "TempDir.h"

#include <gtest/gtest.h>

namespace corvane::Sift {
namespace {

using test::TempDir;
using test::writeText;

constexpr double kNow = 1'800'000'000;

/// A state whose DirectLink MACs sit behind the given tails, one MAC per entry.
State withTails(const std::vector<std::string>& tails) {
    State state;
    for (size_t i = 0; i < tails.size(); ++i) {
        const std::string mac = "AA:BB:CC:DD:EE:0" + std::to_string(i);
        state.dPeer[mac] = Peer{kNow - 60, kNow, "08:00:00", "2027-01-15", 1};
        state.macTail[mac][tails[i]] = 1;
    }
    return state;
}

TEST(OwnerTail, RecordedTailWinsWhileSeenElseTheTailBehindMostMacs) {
    const auto a = "AAAAAAAAAAAA", b = "BBBBBBBBBBBB";
    State state = withTails({a, b, b});
    auto d = deriveDashboard(state, {std::string(a), {}, {}}, kNow);
    EXPECT_EQ(d.ownerTail, a);
    EXPECT_EQ(d.all["rogue_directlink_total"], 2);
    EXPECT_FALSE(d.adoptTail);

    d = deriveDashboard(state, {std::string("CCCCCCCCCCCC"), {}, {}}, kNow); // no longer seen
    EXPECT_EQ(d.ownerTail, b);
    EXPECT_FALSE(d.adoptTail);

    // Equal numbers of MACs: the first tail in order, the same on every pass.
    state = withTails({b, b, a, a});
    EXPECT_EQ(deriveDashboard(state, {}, kNow).ownerTail, a);

    // Recorded only when the tail shares a MAC with the owner's connection addresses.
    EXPECT_FALSE(deriveDashboard(state, {std::nullopt, {}, {"AA:BB:CC:DD:EE:09"}}, kNow).adoptTail);
    EXPECT_EQ(deriveDashboard(state, {std::nullopt, {}, {"AA:BB:CC:DD:EE:03"}}, kNow).adoptTail, a);
}

TEST(OwnerTail, AdoptionWritesOnlyIntoABaselineObject) {
    TempDir dir;
    const State state = withTails({"0123456789AB"});
    writeText(dir / "sift/baseline.json", "[1, 2]");
    writeDashboard(dir.path(), state, {std::nullopt, {}, {"AA:BB:CC:DD:EE:00"}}, kNow);
    EXPECT_EQ(test::readText(dir / "sift/baseline.json"), "[1, 2]");
    EXPECT_EQ(readVerdict(dir.path()), "CLEAN");

    writeText(dir / "sift/baseline.json", R"({"my_conn_mac": ["aa:bb:cc:dd:ee:00"], "x": 1})");
    writeDashboard(dir.path(), state, readOwnerIds(dir.path()), kNow);
    const auto ids = readOwnerIds(dir.path());
    EXPECT_EQ(ids.deviceTail, "0123456789AB");
    EXPECT_FALSE(deriveDashboard(state, ids, kNow).adoptTail); // found by the record from now on
    EXPECT_NE(test::readText(dir / "sift/baseline.json").find("\"x\": 1"), std::string::npos);
}

TEST(OwnerTail, BaselineKeysOfTheWrongTypeCountAsAbsent) {
    TempDir dir;
    writeText(dir / "sift/baseline.json",
              R"({"my_device_tail": "abcdef012345", "my_ble_mac": ["11:22:33:44:55:66", 7],
                  "my_conn_mac": ["aa:bb:cc:dd:ee:ff"]})");
    const auto ids = readOwnerIds(dir.path());
    EXPECT_EQ(ids.deviceTail, "ABCDEF012345");
    EXPECT_FALSE(ids.bleMac);
    EXPECT_EQ(ids.connMacs, std::set<std::string>{"AA:BB:CC:DD:EE:FF"});

    writeText(dir / "sift/baseline.json",
              R"({"my_device_tail": 12, "my_ble_mac": [], "my_conn_mac": "AA:BB:CC:DD:EE:FF"})");
    EXPECT_EQ(readOwnerIds(dir.path()), OwnerIds{});
    writeText(dir / "sift/baseline.json", "not json");
    EXPECT_EQ(readOwnerIds(dir.path()), OwnerIds{});
}

} // namespace
} // namespace corvane::Sift
