#include "sift/Dashboard.h"

#include "TempDir.h"
#include "capture/DataFolder.h"

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
        state.dPeer[mac] = Peer{kNow - 60, kNow, "08:00:00", "2027-01-15", 1, {}, {}};
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
    writeText(DataFolder(dir).baselineFile(), "[1, 2]");
    writeDashboard(dir.path(), state, {std::nullopt, {}, {"AA:BB:CC:DD:EE:00"}}, kNow,
                   util::ReadOnlyFile(DataFolder(dir).evidenceLog()), "CV_personal.log", true);
    EXPECT_EQ(test::readText(DataFolder(dir).baselineFile()), "[1, 2]");
    EXPECT_EQ(readVerdict(dir.path()), "CLEAN");

    writeText(DataFolder(dir).baselineFile(), R"({"my_conn_mac": ["aa:bb:cc:dd:ee:00"], "x": 1})");
    writeDashboard(dir.path(), state, readOwnerIds(dir.path()), kNow,
                   util::ReadOnlyFile(DataFolder(dir).evidenceLog()), "CV_personal.log", true);
    const auto ids = readOwnerIds(dir.path());
    EXPECT_EQ(ids.deviceTail, "0123456789AB");
    EXPECT_FALSE(deriveDashboard(state, ids, kNow).adoptTail); // found by the record from now on
    EXPECT_NE(test::readText(DataFolder(dir).baselineFile()).find("\"x\": 1"), std::string::npos);
}

TEST(OwnerTail, BaselineKeysOfTheWrongTypeCountAsAbsent) {
    TempDir dir;
    writeText(DataFolder(dir).baselineFile(),
              R"({"my_device_tail": "abcdef012345", "my_ble_mac": ["11:22:33:44:55:66", 7],
                  "my_conn_mac": ["aa:bb:cc:dd:ee:ff"]})");
    const auto ids = readOwnerIds(dir.path());
    EXPECT_EQ(ids.deviceTail, "ABCDEF012345");
    EXPECT_FALSE(ids.bleMac);
    EXPECT_EQ(ids.connMacs, std::set<std::string>{"AA:BB:CC:DD:EE:FF"});

    writeText(DataFolder(dir).baselineFile(),
              R"({"my_device_tail": 12, "my_ble_mac": [], "my_conn_mac": "AA:BB:CC:DD:EE:FF"})");
    EXPECT_EQ(readOwnerIds(dir.path()), OwnerIds{});
    writeText(DataFolder(dir).baselineFile(), "not json");
    EXPECT_EQ(readOwnerIds(dir.path()), OwnerIds{});
}

/// Adds a DirectLink MAC behind `tail` that quotes `account`, seen from `first` to `last`.
void addDirect(State& state, const std::string& mac, const std::string& tail,
               const std::string& account, double first = kNow - 60, double last = kNow) {
    state.dPeer[mac] = Peer{first, last, "08:00:00", "2027-01-15", 1, {}, {}};
    state.macTail[mac][tail] = 1;
    if (!account.empty()) {
        state.dAdsid[mac][account] = 1;
    }
}

TEST(OwnerTail, ConnStateSaysHowTheTailWasFound) {
    const auto phone = "AAAAAAAAAAAA", rotating = "BBBBBBBBBBBB";
    State state;
    // The phone behind one address the whole hour; a device changing its address every few
    // minutes behind four.
    addDirect(state, "AA:00:00:00:00:01", phone, "", kNow - 3600);
    for (int i = 0; i < 4; ++i) {
        const double at = kNow - 600 + 150 * i;
        addDirect(state, "BB:00:00:00:00:0" + std::to_string(i), rotating, "", at, at + 140);
    }
    auto d = deriveDashboard(state, {}, kNow);
    EXPECT_EQ(d.ownerTail, phone); // seen longest, though behind fewer addresses
    EXPECT_EQ(d.all["your_device"]["conn_state"], "inferred");
    EXPECT_FALSE(d.adoptTail);

    // One of the owner's connection addresses outweighs any number of others.
    d = deriveDashboard(state, {std::nullopt, {}, {"BB:00:00:00:00:02", "99:00:00:00:00:00"}},
                        kNow);
    EXPECT_EQ(d.ownerTail, rotating);
    EXPECT_EQ(d.adoptTail, rotating);
    EXPECT_EQ(d.all["your_device"]["conn_state"], "confirmed");

    d = deriveDashboard(state, {std::string(phone), {}, {"BB:00:00:00:00:02"}}, kNow);
    EXPECT_EQ(d.ownerTail, phone);
    EXPECT_FALSE(d.adoptTail);
    EXPECT_EQ(d.all["your_device"]["conn_state"], "confirmed");

    EXPECT_EQ(deriveDashboard(State{}, {}, kNow).all["your_device"]["conn_state"], "searching");
}

TEST(Derivation, TheOwnersAccountsAreNeitherForeignNorCulprits) {
    const std::string own = "OwnAcct1", other = "OtherAcct";
    State state;
    addDirect(state, "AA:00:00:00:00:01", "AAAAAAAAAAAA", own); // the phone
    addDirect(state, "AA:00:00:00:00:02", "AAAAAAAAAAAA", own);
    addDirect(state, "CC:00:00:00:00:01", "CCCCCCCCCCCC", own);   // the owner's iPad
    addDirect(state, "FF:00:00:00:00:01", "FFFFFFFFFFFF", other); // a stranger
    for (const auto& [mac, id] :
         {std::pair{"AD:00:00:00:00:01", own}, {"AD:00:00:00:00:02", other}}) {
        state.aPeer[mac] = Peer{kNow - 60, kNow, "08:00:00", "2027-01-15", 1, {}, {}};
        state.aAdsid[mac][id] = 1;
    }
    state.cul[own] = Cul{"", 9, kNow - 60, kNow, {}, {}};
    state.cul[other] = Cul{"", 2, kNow - 60, kNow, {}, {}};

    auto d = deriveDashboard(state, {}, kNow);
    EXPECT_EQ(d.all["verdict"], "COMPROMISED");
    EXPECT_EQ(d.all["rogue_directlink_total"], 1);
    EXPECT_EQ(d.all["rogue_directlink"][0]["mac"], "FF:00:00:00:00:01");
    EXPECT_EQ(d.all["rogue_awdl_total"], 1);
    EXPECT_EQ(d.all["rogue_awdl"][0]["mac"], "AD:00:00:00:00:02");
    ASSERT_EQ(d.all["culprits"].size(), 1u);
    EXPECT_EQ(d.all["culprits"][0]["ids"], other);
    EXPECT_EQ(d.summary["own_accounts"], nlohmann::json::array({own}));
    EXPECT_EQ(d.summary["foreign_directlink_macs"], 1);
    EXPECT_EQ(d.summary["foreign_awdl_macs"], 1);
    EXPECT_EQ(d.summary["foreign_device_ids"], 1);
    EXPECT_EQ(d.summary["verdict"], "COMPROMISED");

    // A foreign account authenticating as the owner is enough on its own.
    state.dPeer.erase("FF:00:00:00:00:01");
    state.aPeer.erase("AD:00:00:00:00:02");
    d = deriveDashboard(state, {}, kNow);
    EXPECT_EQ(d.all["rogue_directlink_total"], 0);
    EXPECT_EQ(d.all["rogue_awdl_total"], 0);
    EXPECT_EQ(d.all["verdict"], "COMPROMISED");
    EXPECT_EQ(d.summary["verdict"], "COMPROMISED");

    // The owner's own devices authenticating as the owner are no intrusion.
    state.cul.erase(other);
    d = deriveDashboard(state, {}, kNow);
    EXPECT_EQ(d.all["verdict"], "CLEAN");
    EXPECT_EQ(d.summary["verdict"], "CLEAN");
    EXPECT_EQ(d.all["culprits"], nlohmann::json::array());
    EXPECT_EQ(d.summary["foreign_device_ids"], 0);

    // Without a known account of the owner's, every culprit is listed and none decides.
    state.dAdsid.clear();
    state.aPeer.clear();
    state.dPeer.erase("CC:00:00:00:00:01");
    state.cul[other] = Cul{"", 2, kNow - 60, kNow, {}, {}};
    d = deriveDashboard(state, {}, kNow);
    EXPECT_EQ(d.all["culprits"].size(), 2u);
    EXPECT_EQ(d.all["verdict"], "CLEAN");
    EXPECT_EQ(d.summary["verdict"], "CLEAN");
}

} // namespace
} // namespace corvane::Sift
