#include "sift/Dashboard.h"

#include "TempDir.h"

#include <cstdio>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace corvane::Sift {
namespace {

using nlohmann::json;
using test::TempDir;
using test::writeText;
using ::testing::ElementsAre;

constexpr double kNow = 1'800'000'000; // 2027-01-15 08:00:00 UTC

std::string mac(int n) {
    char text[18];
    std::snprintf(text, sizeof text, "AA:BB:CC:DD:EE:%02X", n);
    return text;
}

Peer peerAt(double last) {
    return Peer{last - 60, last, "08:00:00", "2027-01-15", 1};
}

void addDirect(State& state, const std::string& m, const std::string& tail, double last,
               const std::string& ids = "") {
    state.dPeer[m] = peerAt(last);
    if (!tail.empty()) {
        state.macTail[m][tail] += 1;
    }
    if (!ids.empty()) {
        state.dAdsid[m][ids] += 1;
    }
}

void addAwdl(State& state, const std::string& m, const std::string& ids, double last) {
    state.aPeer[m] = peerAt(last);
    if (!ids.empty()) {
        state.aAdsid[m][ids] += 1;
    }
}

std::vector<std::string> keysOf(const json& object) {
    std::vector<std::string> keys;
    for (const auto& item : object.items()) {
        keys.push_back(item.key());
    }
    return keys;
}

std::vector<std::string> macsOf(const json& rows) {
    std::vector<std::string> macs;
    for (const auto& row : rows) {
        macs.push_back(row["mac"]);
    }
    return macs;
}

TEST(Dashboard, EmptyStateIsPendingWithPlaceholdersButStillListsAccess) {
    State state;
    state.access["2027-01-15|07:59|S|Abc12"] =
        Acc{kNow - 60, "2027-01-15", "07:59:00", "Screen sharing", "Abc12", "—", "—"};
    const auto d = deriveDashboard(state, {}, kNow);

    EXPECT_FALSE(d.ownerTail);
    EXPECT_FALSE(d.adoptTail);
    EXPECT_EQ(d.all["verdict"], "PENDING");
    EXPECT_EQ(d.summary["verdict"], "PENDING");
    EXPECT_EQ(d.all["own_device_tail"], "—");
    EXPECT_EQ(d.all["range"], "—");
    EXPECT_EQ(d.all["your_device"],
              json::parse(R"({"model":"Your phone","identity":"—","device_tail":"—","ble_mac":"",
                   "conn_mac":[],"conn_count":0,"conn_state":"searching","registered":false})"));
    EXPECT_EQ(d.all["access_events_total"], 1);
    ASSERT_EQ(d.all["access_events"].size(), 1u);
    EXPECT_EQ(d.all["access_events"][0],
              json::parse(R"({"date":"2027-01-15","time":"07:59:00","type":"Screen sharing",
                   "account":"Abc12","aid":"—","mac":"—"})"));
    EXPECT_EQ(d.days, json::parse(R"({"days":["ALL"]})"));
    EXPECT_EQ(d.summary["generated"], "2027-01-15T08:00:00Z");
    EXPECT_EQ(d.summary["own_accounts"], json::array());
    EXPECT_EQ(d.summary["days"], 1);
}

TEST(Dashboard, FilesHaveExactlyTheirKeys) {
    State state;
    addDirect(state, mac(1), "111111111111", kNow, "Own01");
    addDirect(state, mac(2), "222222222222", kNow - 5, "Foe01");
    addAwdl(state, mac(3), "Foe02", kNow - 9);
    state.cul["Foe01"] = Cul{"", 3, kNow - 100, kNow - 50};
    state.access["k"] = Acc{kNow, "d", "t", "Keyboard sharing", "a", "b", "c"};
    state.pairs.push_back(
        PairRow{kNow, "t", "m", "i", "a", "Screen (7)", "1.000", "0x1", "—", true});
    state.kbd.push_back(KbdRow{kNow, "t", "m", "i", "—", "—", "—"});
    state.ble.push_back(BleRow{kNow, "t", "—"});
    state.pairsTotal = state.pairsScreen = state.kbdTotal = state.bleTotal = 1;
    const auto d = deriveDashboard(state, {std::string("111111111111"), {}, {}}, kNow);

    EXPECT_THAT(keysOf(d.all),
                ElementsAre("access_events", "access_events_total", "ble_provisions",
                            "ble_provisions_total", "culprits", "date", "kbd_evals",
                            "kbd_evals_total", "own_device_tail", "provision_pairs",
                            "provision_pairs_screen", "provision_pairs_total", "range",
                            "rogue_awdl", "rogue_awdl_total", "rogue_directlink",
                            "rogue_directlink_total", "verdict", "your_device"));
    EXPECT_THAT(keysOf(d.all["your_device"]),
                ElementsAre("ble_mac", "conn_count", "conn_mac", "conn_state", "device_tail",
                            "identity", "model", "registered"));
    const auto rogueKeys =
        ElementsAre("aid", "date", "ids", "mac", "owner", "proximity", "time", "tt");
    EXPECT_THAT(keysOf(d.all["rogue_directlink"][0]), rogueKeys);
    EXPECT_THAT(keysOf(d.all["rogue_awdl"][0]), rogueKeys);
    EXPECT_THAT(keysOf(d.all["culprits"][0]),
                ElementsAre("aid", "first", "ids", "last", "occurrences"));
    EXPECT_THAT(keysOf(d.all["access_events"][0]),
                ElementsAre("account", "aid", "date", "mac", "time", "type"));
    EXPECT_THAT(
        keysOf(d.all["provision_pairs"][0]),
        ElementsAre("aclv", "aid", "cid", "delta_ms", "ids", "mac", "screen", "services", "time"));
    EXPECT_THAT(keysOf(d.all["ble_provisions"][0]), ElementsAre("nbat", "time", "type"));
    EXPECT_THAT(keysOf(d.all["kbd_evals"][0]),
                ElementsAre("aclv", "ids", "mac", "selftag", "services", "time"));
    EXPECT_THAT(keysOf(d.summary),
                ElementsAre("days", "directlink_macs_total", "foreign_accounts",
                            "foreign_awdl_macs", "foreign_device_ids", "foreign_directlink_macs",
                            "generated", "own_accounts", "own_device_tail", "verdict",
                            "your_phone_macs"));

    // Values that only a careless mapping would get wrong.
    EXPECT_EQ(d.all["rogue_directlink"][0]["proximity"], "0–33 ft");
    EXPECT_EQ(d.all["rogue_directlink"][0]["tt"], "0x10");
    EXPECT_EQ(d.all["rogue_awdl"][0]["proximity"], "33–100 ft");
    EXPECT_EQ(d.all["rogue_awdl"][0]["tt"], "0x04");
    EXPECT_EQ(d.all["culprits"][0]["aid"], "—"); // no AID seen yet: never an empty text
    EXPECT_EQ(d.all["culprits"][0]["occurrences"], 3);
    EXPECT_EQ(d.all["ble_provisions"][0]["type"], "Keyboard (BLE)");
    EXPECT_EQ(d.all["provision_pairs"][0]["screen"], true);
    EXPECT_EQ(d.all["provision_pairs"][0]["delta_ms"], "1.000");
}

TEST(Dashboard, OneSharedTailIsTheOwnerAndTheStateIsClean) {
    State state;
    addDirect(state, mac(1), "0123456789AB", kNow - 30);
    addDirect(state, mac(2), "0123456789AB", kNow);
    addDirect(state, mac(3), "0123456789AB", kNow); // equal last: the later MAC wins
    addAwdl(state, mac(9), "", kNow);               // AWDL peer without an id: ignored
    const auto d = deriveDashboard(state, {}, kNow);

    EXPECT_EQ(d.all["verdict"], "CLEAN");
    EXPECT_EQ(d.summary["verdict"], "CLEAN");
    EXPECT_EQ(d.all["own_device_tail"], "0123456789AB");
    EXPECT_EQ(d.all["rogue_directlink_total"], 0);
    EXPECT_EQ(d.all["rogue_awdl_total"], 0);
    EXPECT_EQ(d.all["your_device"]["conn_count"], 3);
    EXPECT_EQ(d.all["your_device"]["conn_mac"], json::array({mac(3)}));
    EXPECT_EQ(d.all["your_device"]["conn_state"], "confirmed");
    EXPECT_EQ(d.all["your_device"]["registered"], true);
    EXPECT_EQ(d.summary["your_phone_macs"], 3);
    EXPECT_EQ(d.summary["foreign_device_ids"], 0);
    EXPECT_EQ(d.summary["foreign_awdl_macs"], 0);
}

TEST(Dashboard, PeerWithoutTailIsForeignOnceTheOwnerIsKnown) {
    State state;
    addDirect(state, mac(1), "0123456789AB", kNow);
    addDirect(state, mac(2), "", kNow - 10, "Foe01");
    state.owner.insert(mac(2));
    state.macAid[mac(2)]["AID-1"] = 2;
    const auto d = deriveDashboard(state, {}, kNow);

    EXPECT_EQ(d.all["verdict"], "COMPROMISED");
    EXPECT_EQ(d.summary["verdict"], "COMPROMISED");
    ASSERT_EQ(d.all["rogue_directlink"].size(), 1u);
    const auto& row = d.all["rogue_directlink"][0];
    EXPECT_EQ(row["mac"], mac(2));
    EXPECT_EQ(row["ids"], "Foe01");
    EXPECT_EQ(row["aid"], "AID-1");
    EXPECT_EQ(row["owner"], true);
    EXPECT_EQ(row["date"], "2027-01-15");
    EXPECT_EQ(row["time"], "08:00:00");
    EXPECT_EQ(d.summary["foreign_directlink_macs"], 1);
    EXPECT_EQ(d.summary["foreign_device_ids"], 0); // a MAC without a tail adds no device
}

TEST(Dashboard, PendingEmptiesTheListsButNotTheSummaryCounts) {
    State state;
    addAwdl(state, mac(5), "Foe01", kNow);
    addDirect(state, mac(6), "", kNow, "Foe02");
    state.cul["Foe01"] = Cul{"AID", 1, kNow, kNow};
    state.pairs.push_back(PairRow{kNow, "t", "m", "i", "a", "—", "0.000", "—", "—", false});
    state.kbd.push_back(KbdRow{kNow, "t", "m", "i", "—", "—", "—"});
    state.ble.push_back(BleRow{kNow, "t", "—"});
    state.pairsTotal = state.kbdTotal = state.bleTotal = 1;
    const auto d = deriveDashboard(state, {}, kNow);

    EXPECT_EQ(d.all["verdict"], "PENDING");
    for (const char* list : {"rogue_directlink", "rogue_awdl", "culprits", "provision_pairs",
                             "ble_provisions", "kbd_evals"}) {
        EXPECT_EQ(d.all[list], json::array()) << list;
    }
    for (const char* total :
         {"rogue_directlink_total", "rogue_awdl_total", "provision_pairs_total",
          "provision_pairs_screen", "ble_provisions_total", "kbd_evals_total"}) {
        EXPECT_EQ(d.all[total], 0) << total;
    }
    EXPECT_EQ(d.summary["foreign_directlink_macs"], 1);
    EXPECT_EQ(d.summary["foreign_awdl_macs"], 1);
}

TEST(Dashboard, RecordedTailWinsWhileSeenElseTheBestTail) {
    State state;
    addDirect(state, mac(1), "AAAAAAAAAAAA", kNow);
    addDirect(state, mac(2), "BBBBBBBBBBBB", kNow);
    addDirect(state, mac(3), "BBBBBBBBBBBB", kNow);

    // Rule 1: the recorded tail (read upper-cased) wins although another tail has more MACs.
    auto d = deriveDashboard(state, {std::string("AAAAAAAAAAAA"), {}, {}}, kNow);
    EXPECT_EQ(d.ownerTail, "AAAAAAAAAAAA");
    EXPECT_EQ(d.all["rogue_directlink_total"], 2);
    EXPECT_FALSE(d.adoptTail);

    // A recorded tail that no current peer has: the best tail (most MACs) instead.
    d = deriveDashboard(state, {std::string("CCCCCCCCCCCC"), {}, {}}, kNow);
    EXPECT_EQ(d.ownerTail, "BBBBBBBBBBBB");
    EXPECT_FALSE(d.adoptTail);

    // Equal set sizes: the first tail in order, deterministically.
    addDirect(state, mac(4), "AAAAAAAAAAAA", kNow);
    d = deriveDashboard(state, {}, kNow);
    EXPECT_EQ(d.ownerTail, "AAAAAAAAAAAA");

    // Connection addresses: adopted only when the best tail shares a MAC with them.
    d = deriveDashboard(state, {std::nullopt, {}, {mac(9)}}, kNow);
    EXPECT_EQ(d.ownerTail, "AAAAAAAAAAAA");
    EXPECT_FALSE(d.adoptTail);
    d = deriveDashboard(state, {std::nullopt, {}, {mac(4)}}, kNow);
    EXPECT_EQ(d.adoptTail, "AAAAAAAAAAAA");
}

TEST(Dashboard, AdoptedTailIsWrittenOnceKeepingOtherKeys) {
    TempDir dir;
    const auto baseline = dir / "sift/baseline.json";
    writeText(baseline, R"({"mode": "consumer", "my_ble_mac": ["11:22:33:44:55:66"],
                            "my_conn_mac": ["aa:bb:cc:dd:ee:02"], "extra": {"kept": true}})");
    State state;
    addDirect(state, mac(1), "0123456789AB", kNow);
    addDirect(state, mac(2), "0123456789AB", kNow - 1);

    const auto owner = readOwnerIds(dir.path());
    EXPECT_EQ(owner.connMacs, std::set<std::string>{mac(2)});
    writeDashboard(dir.path(), state, owner, kNow);
    const auto written = json::parse(test::readText(baseline));
    EXPECT_EQ(written["my_device_tail"], "0123456789AB");
    EXPECT_EQ(written["extra"]["kept"], true);
    EXPECT_EQ(written["mode"], "consumer");

    // Next pass: found by the recorded tail, nothing written again.
    const auto again = readOwnerIds(dir.path());
    EXPECT_EQ(again.deviceTail, "0123456789AB");
    EXPECT_FALSE(deriveDashboard(state, again, kNow).adoptTail);
    const auto verdict = readVerdict(dir.path());
    EXPECT_EQ(verdict, "CLEAN");
    const auto all = json::parse(test::readText(dir / "sift/ALL.json"));
    EXPECT_EQ(all["your_device"]["ble_mac"], "11:22:33:44:55:66");
}

TEST(Dashboard, AdoptionLeavesAnUnreadableBaselineAlone) {
    TempDir dir;
    writeText(dir / "sift/baseline.json", "[1, 2]");
    State state;
    addDirect(state, mac(1), "0123456789AB", kNow);
    writeDashboard(dir.path(), state, {std::nullopt, {}, {mac(1)}}, kNow);
    EXPECT_EQ(test::readText(dir / "sift/baseline.json"), "[1, 2]");
    EXPECT_EQ(readVerdict(dir.path()), "CLEAN");
}

TEST(Dashboard, OwnerIdsToleratesWrongTypes) {
    TempDir dir;
    writeText(dir / "sift/baseline.json",
              R"({"my_device_tail": "abcdef012345", "my_ble_mac": ["11:22:33:44:55:66", 7],
                  "my_conn_mac": ["aa:bb:cc:dd:ee:ff", "01:02:03:04:05:0a"]})");
    auto ids = readOwnerIds(dir.path());
    EXPECT_EQ(ids.deviceTail, "ABCDEF012345");
    EXPECT_FALSE(ids.bleMac); // not an array of strings
    EXPECT_EQ(ids.connMacs, (std::set<std::string>{"01:02:03:04:05:0A", "AA:BB:CC:DD:EE:FF"}));

    writeText(dir / "sift/baseline.json",
              R"({"my_device_tail": 12, "my_ble_mac": [], "my_conn_mac": "AA:BB:CC:DD:EE:FF"})");
    EXPECT_EQ(readOwnerIds(dir.path()), OwnerIds{});
    writeText(dir / "sift/baseline.json", "not json");
    EXPECT_EQ(readOwnerIds(dir.path()), OwnerIds{});
}

TEST(Dashboard, ListsAreSortedNewestFirstAndCut) {
    State state;
    addDirect(state, mac(0), "0123456789AB", kNow);
    for (int i = 1; i <= 11; ++i) {
        addDirect(state, mac(i), "", kNow - 100 * i); // mac(11) is the oldest
    }
    for (int i = 0; i < 250; ++i) {
        const double epoch = kNow - 3000 + (i * 7919) % 250; // scrambled epochs
        state.access["key" + std::to_string(i)] =
            Acc{epoch, "d", std::to_string(epoch), "Screen sharing", "—", "—", "—"};
    }
    for (int i = 0; i < 60; ++i) {
        // Pairs of equal times: the list order decides among them.
        state.pairs.push_back(PairRow{kNow - (i / 2), std::to_string(i), "m", "i", "a", "—",
                                      "0.000", "—", "—", false});
    }
    state.pairsTotal = 60;
    const auto d = deriveDashboard(state, {}, kNow);

    EXPECT_EQ(d.all["rogue_directlink_total"], 11);
    auto macs = macsOf(d.all["rogue_directlink"]);
    ASSERT_EQ(macs.size(), 10u);
    EXPECT_EQ(macs.front(), mac(1));
    EXPECT_EQ(macs.back(), mac(10));

    EXPECT_EQ(d.all["access_events_total"], 250);
    const auto& access = d.all["access_events"];
    ASSERT_EQ(access.size(), 200u);
    for (size_t i = 1; i < access.size(); ++i) {
        EXPECT_GE(std::stod(access[i - 1]["time"].get<std::string>()),
                  std::stod(access[i]["time"].get<std::string>()));
    }
    EXPECT_EQ(std::stod(access.back()["time"].get<std::string>()), kNow - 3000 + 50);

    const auto& pairs = d.all["provision_pairs"];
    ASSERT_EQ(pairs.size(), 50u);
    EXPECT_EQ(pairs[0]["time"], "0");
    EXPECT_EQ(pairs[1]["time"], "1");
    EXPECT_EQ(pairs[49]["time"], "49");
    EXPECT_EQ(d.all["provision_pairs_total"], 60);
}

TEST(Dashboard, MacThatIsBothForeignDirectLinkAndAwdlCountsAsAwdl) {
    State state;
    addDirect(state, mac(1), "0123456789AB", kNow, "Own01");
    addDirect(state, mac(2), "FEDCBA987654", kNow - 1, "Foe01");
    addAwdl(state, mac(2), "Foe02", kNow - 1);
    addDirect(state, mac(3), "", kNow - 2);
    const auto d = deriveDashboard(state, {std::string("0123456789AB"), {}, {}}, kNow);

    EXPECT_EQ(d.summary["foreign_awdl_macs"], 1);
    EXPECT_EQ(d.summary["foreign_directlink_macs"], 1);
    EXPECT_EQ(d.summary["foreign_device_ids"], 1);
    EXPECT_EQ(d.summary["directlink_macs_total"], 3);
    EXPECT_EQ(d.all["rogue_directlink_total"], 2); // the rows still list both
    EXPECT_EQ(d.all["rogue_awdl_total"], 1);
}

TEST(Dashboard, OwnAccountIsTheDominantIdOfTheOwnMacs) {
    State state;
    addDirect(state, mac(1), "0123456789AB", kNow);
    addDirect(state, mac(2), "0123456789AB", kNow);
    state.dAdsid[mac(1)] = {{"Own01", 2}, {"Zed01", 3}};
    state.dAdsid[mac(2)] = {{"Own01", 2}}; // merged: Own01 4, Zed01 3
    addDirect(state, mac(3), "FEDCBA987654", kNow, "Foe01");
    addAwdl(state, mac(4), "Foe02", kNow);
    addAwdl(state, mac(5), "Own01", kNow);
    auto d = deriveDashboard(state, {}, kNow);
    EXPECT_EQ(d.summary["own_accounts"], json::array({"Own01"}));
    EXPECT_EQ(d.summary["foreign_accounts"], 3); // Zed01, Foe01, Foe02

    // No ids on the own MACs: no own account, and then no foreign accounts either.
    state.dAdsid.erase(mac(1));
    state.dAdsid.erase(mac(2));
    d = deriveDashboard(state, {}, kNow);
    EXPECT_EQ(d.summary["own_accounts"], json::array());
    EXPECT_EQ(d.summary["foreign_accounts"], 0);
}

TEST(Dashboard, RangeText) {
    State state;
    state.minE = state.maxE = kNow;
    EXPECT_EQ(deriveDashboard(state, {}, kNow).all["range"], "2027-01-15 08:00:00");
    state.minE = kNow - 3600;
    EXPECT_EQ(deriveDashboard(state, {}, kNow).all["range"],
              "2027-01-15 07:00:00 — 2027-01-15 08:00:00");
    state.maxE = 0;
    EXPECT_EQ(deriveDashboard(state, {}, kNow).all["range"], "—");
    state.minE = 0;
    state.maxE = 1e12; // outside the formattable range
    EXPECT_EQ(deriveDashboard(state, {}, kNow).all["range"], "— — —");
}

} // namespace
} // namespace corvane::Sift
