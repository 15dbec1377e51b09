#include "sift/Dashboard.h"

#include "TempDir.h"
#include "capture/DataFolder.h"
#include "util/LocalTime.h"

#include <gtest/gtest.h>

namespace corvane::Sift {
namespace {

using test::TempDir;
using test::writeText;

constexpr double kNow = 1'800'000'000;

/// What a baseline file of a tail and connection addresses says.
OwnerIds owner(std::optional<std::string> tail, std::set<std::string> connMacs) {
    OwnerIds ids;
    ids.deviceTail = std::move(tail);
    ids.connMacs = std::move(connMacs);
    return ids;
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

/// A state whose DirectLink MACs sit behind the given tails, one MAC per entry.
State withTails(const std::vector<std::string>& tails) {
    State state;
    for (size_t i = 0; i < tails.size(); ++i) {
        addDirect(state, "AA:BB:CC:DD:EE:0" + std::to_string(i), tails[i], "");
    }
    return state;
}

TEST(OwnerTail, RecordedTailWinsWhileSeenElseTheTailBehindMostMacs) {
    const auto a = "AAAAAAAAAAAA", b = "BBBBBBBBBBBB";
    State state = withTails({a, b, b});
    auto d = deriveDashboard(state, owner(std::string(a), {}), kNow);
    EXPECT_EQ(d.ownerTail, a);
    EXPECT_EQ(d.all["rogue_directlink_total"], 2);
    EXPECT_FALSE(d.adoptTail);

    d = deriveDashboard(state, owner(std::string("CCCCCCCCCCCC"), {}), kNow); // no longer seen
    EXPECT_EQ(d.ownerTail, b);
    EXPECT_FALSE(d.adoptTail);

    // Equal numbers of MACs: the first tail in order, the same on every pass.
    state = withTails({b, b, a, a});
    EXPECT_EQ(deriveDashboard(state, {}, kNow).ownerTail, a);

    // Recorded only when the tail shares a MAC with the owner's connection addresses.
    EXPECT_FALSE(deriveDashboard(state, owner(std::nullopt, {"AA:BB:CC:DD:EE:09"}), kNow).adoptTail);
    EXPECT_EQ(deriveDashboard(state, owner(std::nullopt, {"AA:BB:CC:DD:EE:03"}), kNow).adoptTail, a);
}

TEST(OwnerTail, AdoptionWritesOnlyIntoABaselineObject) {
    TempDir dir;
    const State state = withTails({"0123456789AB"});
    writeText(DataFolder(dir).baselineFile(), "[1, 2]");
    writeDashboard(dir.path(), state, owner(std::nullopt, {"AA:BB:CC:DD:EE:00"}), kNow,
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
    OwnerIds onlyTheFile;
    onlyTheFile.file = true;
    EXPECT_EQ(readOwnerIds(dir.path()), onlyTheFile);
    writeText(DataFolder(dir).baselineFile(), "not json");
    EXPECT_EQ(readOwnerIds(dir.path()), OwnerIds{});
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
    d = deriveDashboard(state, owner(std::nullopt, {"BB:00:00:00:00:02", "99:00:00:00:00:00"}),
                        kNow);
    EXPECT_EQ(d.ownerTail, rotating);
    EXPECT_EQ(d.adoptTail, rotating);
    EXPECT_EQ(d.all["your_device"]["conn_state"], "confirmed");

    d = deriveDashboard(state, owner(std::string(phone), {"BB:00:00:00:00:02"}), kNow);
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

TEST(Derivation, OnceTheOwnersDevicesAreKnownAnyOtherDeviceOnTheOwnersAccountIsAFinding) {
    const std::string own = "OwnAcct1";
    const auto phone = "AAAAAAAAAAAA", pad = "CCCCCCCCCCCC", stranger = "DDDDDDDDDDDD";
    State state;
    addDirect(state, "AA:00:00:00:00:01", phone, own);
    addDirect(state, "CC:00:00:00:00:01", pad, own);
    addDirect(state, "DD:00:00:00:00:01", stranger, own, kNow - 30, kNow); // the stolen account
    for (const auto* mac : {"AD:00:00:00:00:01", "AD:00:00:00:00:02"}) {
        state.aPeer[mac] = Peer{kNow - 60, kNow - 10, "08:00:00", "2027-01-15", 1, {}, {}};
        state.aAdsid[mac][own] = 1;
    }
    state.cul[own] = Cul{"", 4, kNow - 60, kNow, {}, {}};

    // Before the setup the account alone says whose a device is: the stranger passes.
    EXPECT_EQ(deriveDashboard(state, {}, kNow).all["verdict"], "CLEAN");

    OwnerIds ids = owner(std::string(phone), {});
    ids.file = true;
    ids.bleMac = "5A:00:00:00:00:01";
    ids.devices.known = {{phone, {"a1b2c3"}, "setup", kNow - 600},
                         {pad, {"c0ffee"}, "setup", kNow - 600}};
    ids.devices.macs = {{"AD:00:00:00:00:01", pad}}; // the iPad's AWDL address, by its token
    auto d = deriveDashboard(state, ids, kNow);
    EXPECT_EQ(d.all["verdict"], "COMPROMISED");
    EXPECT_EQ(d.summary["verdict"], "COMPROMISED");
    ASSERT_EQ(d.all["rogue_directlink"].size(), 1u);
    EXPECT_EQ(d.all["rogue_directlink"][0]["mac"], "DD:00:00:00:00:01");
    EXPECT_EQ(d.all["rogue_directlink"][0]["tail"], stranger);
    EXPECT_EQ(d.all["rogue_directlink"][0]["owner"], true);
    ASSERT_EQ(d.all["rogue_awdl"].size(), 1u); // the other AWDL address is no known device's
    EXPECT_EQ(d.all["rogue_awdl"][0]["mac"], "AD:00:00:00:00:02");
    EXPECT_EQ(d.all["rogue_awdl"][0]["owner"], true);
    EXPECT_EQ(d.all["culprits"], nlohmann::json::array()); // the account is the owner's
    ASSERT_EQ(d.all["unknown_own_devices"].size(), 2u);
    EXPECT_EQ(d.all["unknown_own_devices"][0]["tail"], stranger);
    EXPECT_EQ(d.all["unknown_own_devices"][1]["tail"], "—");
    EXPECT_EQ(d.all["known_devices"][0]["phone"], true);
    EXPECT_EQ(d.all["known_devices"][1]["learned"], "setup");

    // Confirmed by the owner, the device is theirs; so is the AWDL address once tied to it.
    ids.devices.known.push_back({stranger, {}, "confirmed", kNow});
    ids.devices.macs["AD:00:00:00:00:02"] = stranger;
    d = deriveDashboard(state, ids, kNow);
    EXPECT_EQ(d.all["verdict"], "CLEAN");
    EXPECT_EQ(d.all["unknown_own_devices"], nlohmann::json::array());
    EXPECT_EQ(d.all["known_devices"][2]["when"], util::formatTimestamp(kNow));

    // A setup that found no phone near the Mac waits for it instead of guessing.
    OwnerIds waiting;
    waiting.file = true;
    EXPECT_EQ(deriveDashboard(state, waiting, kNow).all["verdict"], "PENDING");
}

} // namespace
} // namespace corvane::Sift
