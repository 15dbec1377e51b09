#include "EvidenceLog.h"
#include "baseline/Baseline.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace corvane;
using namespace corvane::test;
using ::testing::ElementsAre;
using Json = nlohmann::json;

namespace {

constexpr int64_t kT = 1792314842;
constexpr double kNow = kT + 600;
const std::string kOwner = "00:11:22:AA:BB:CC";
const std::string kOwnerAddr = "Addr 001122aabbcc";

std::string peer(int n) {
    char mac[18];
    std::snprintf(mac, sizeof mac, "66:55:44:33:22:%02X", n);
    return mac;
}

std::string peerLine(int n, std::string_view extra = "") {
    return "rapportd CUBonjourDevice " + peer(n) + ", TT 0x10 " + std::string(extra);
}

std::string ownerLine(int rssi, std::string_view extra = "") {
    return "bluetoothd " + kOwnerAddr + " RSSI " + std::to_string(rssi) + " " + std::string(extra);
}

class Refresh : public ::testing::Test {
  protected:
    std::filesystem::path baselineFile() const { return Baseline::baselinePath(dir_.path()); }
    Json stored() const { return Json::parse(readText(baselineFile())); }
    void log(const std::string& text) { writeText(evidenceLog(dir_), text); }
    void saveOwner(std::vector<std::string> candidates = {}) {
        Baseline::save(dir_.path(), "consumer", kOwner, {}, "searching", candidates);
    }
    std::pair<std::optional<std::string>, std::string> refresh() {
        auto refreshed = Baseline::refresh(dir_.path(), 1200, kNow);
        EXPECT_EQ(refreshed.failure, std::nullopt);
        return {refreshed.connMac, refreshed.state};
    }

    TempDir dir_;
};

} // namespace

TEST_F(Refresh, WithoutABaselineFileItSearchesAndWritesNothing) {
    log(stamped(kT, ownerLine(-50)) + stamped(kT + 1, peerLine(1)) + stamped(kT + 2, peerLine(1)));
    EXPECT_EQ(refresh(), std::pair(std::optional<std::string>(), std::string("searching")));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "sift"));
}

TEST_F(Refresh, OnlyAPhoneTokenMakesAConnectionAddressNearnessIsOnlyRecorded) {
    saveOwner();
    // Address 1 twice within 15 s of the phone (one at exactly 15 s), address 2 once within and
    // once far off, address 3 near a weak sighting only: near the phone is not the phone's.
    log(stamped(kT, ownerLine(-50, "nbIAT <aa bb cc>")) + stamped(kT + 15, peerLine(1)) +
        stamped(kT - 15, peerLine(1)) + stamped(kT + 16, peerLine(2)) +
        stamped(kT + 100, peerLine(2)) + stamped(kT + 300, ownerLine(-71)) +
        stamped(kT + 301, peerLine(3)) + stamped(kT + 302, peerLine(3)));
    EXPECT_EQ(refresh(), std::pair(std::optional<std::string>(), std::string("searching")));
    Json saved = stored();
    EXPECT_EQ(saved["my_conn_mac"], Json::array());
    EXPECT_EQ(saved["conn_candidates"], Json::array());
    EXPECT_EQ(saved["conn_nearby"], Json::array({peer(1)}));
    EXPECT_EQ(saved["my_ble_tokens"], Json::array({"aabbcc"}));

    // A DirectLink line carrying the phone's token joins its cluster and is its connection,
    // however rarely it is seen; it is not also recorded as merely near.
    log(stamped(kT, ownerLine(-50, "nbIAT <aa bb cc>")) + stamped(kT + 15, peerLine(1)) +
        stamped(kT - 15, peerLine(1)) + stamped(kT + 500, peerLine(4, "AT <aa bb cc>")) +
        stamped(kT + 14, peerLine(4)));
    EXPECT_EQ(refresh(), std::pair(std::optional(peer(4)), std::string("locked")));
    saved = stored();
    EXPECT_EQ(saved["my_conn_mac"], Json::array({peer(4)}));
    EXPECT_EQ(saved["conn_nearby"], Json::array({peer(1)}));
}

TEST_F(Refresh, ProposingAKnownAddressAgainConfirmsIt) {
    saveOwner();
    const std::string phone = stamped(kT, ownerLine(-50, "AT <aa bb cc>"));
    log(phone + stamped(kT + 1, peerLine(3, "AT <aa bb cc>")));
    EXPECT_EQ(refresh(), std::pair(std::optional(peer(3)), std::string("locked")));
    EXPECT_EQ(refresh(), std::pair(std::optional(peer(3)), std::string("confirmed")));
    EXPECT_EQ(stored()["conn_candidates"], Json::array({peer(3)}));

    // Only new addresses: back to locked, and the connection list is replaced.
    log(phone + stamped(kT + 1, peerLine(4, "AT <aa bb cc>")));
    EXPECT_EQ(refresh(), std::pair(std::optional(peer(4)), std::string("locked")));
    EXPECT_EQ(stored()["conn_candidates"], Json::array({peer(3), peer(4)}));
}

TEST_F(Refresh, CandidatesKeepTheNewestFortyInTheOrderFirstSeen) {
    std::vector<std::string> candidates;
    for (int i = 100; i < 140; ++i) {
        candidates.push_back(peer(i));
    }
    saveOwner(candidates);
    // Seen in the order 9, 7, 8: the candidates follow that order, the connection list sorts.
    std::string text = stamped(kT, ownerLine(-50, "AT <aa bb cc>"));
    for (const int n : {9, 7, 8, 9, 7, 8}) {
        text += stamped(kT + 1, peerLine(n, "AT <aa bb cc>"));
    }
    log(text);
    EXPECT_EQ(refresh(), std::pair(std::optional(peer(7)), std::string("locked")));
    const Json saved = stored();
    EXPECT_EQ(saved["my_conn_mac"], Json::array({peer(7), peer(8), peer(9)}));
    std::vector<std::string> expected(candidates.begin() + 3, candidates.end());
    expected.insert(expected.end(), {peer(9), peer(7), peer(8)});
    EXPECT_EQ(saved["conn_candidates"], Json(expected));
}

TEST_F(Refresh, StoredPhoneServesWhenTheWindowHasNone) {
    saveOwner();
    // No signal figures in the window: no cluster, so the stored address is the owner, and
    // its tokens tie address 6 to it (address 5 is only near it).
    log(stamped(kT, "bluetoothd " + kOwnerAddr + " nbIAT <aa bb cc>") +
        stamped(kT + 3, peerLine(5)) + stamped(kT + 4, peerLine(5)) +
        stamped(kT + 400, peerLine(6, "AT <aa bb cc>")) +
        stamped(kT + 401, peerLine(7, "AT <aa bb cd>")) + stamped(kT - 2000, ownerLine(-40)));
    EXPECT_EQ(refresh(), std::pair(std::optional(peer(6)), std::string("locked")));
    EXPECT_EQ(stored()["my_conn_mac"], Json::array({peer(6)}));
    EXPECT_EQ(stored()["conn_nearby"], Json::array({peer(5)}));
    EXPECT_EQ(stored()["my_ble_mac"], Json::array({kOwner}));

    // A phone found in the window replaces the stored one while its tokens are unknown.
    log(stamped(kT, "bluetoothd Addr 0000000000aa RSSI -40 AT <11 22 33>"));
    refresh();
    EXPECT_EQ(stored()["my_ble_mac"], Json::array({"00:00:00:00:00:AA"}));
    EXPECT_EQ(stored()["my_ble_tokens"], Json::array({"112233"}));
}

TEST_F(Refresh, OnceItsTokensAreKnownOnlyThePhoneIsTakenForThePhone) {
    saveOwner();
    log(stamped(kT, ownerLine(-50, "nbIAT <aa bb cc>")));
    refresh();
    ASSERT_EQ(stored()["my_ble_tokens"], Json::array({"aabbcc"}));

    // The owner is away: a stronger stranger's phone, present every minute, is not the phone,
    // and what is near it is not recorded either.
    std::string text;
    for (int m = 0; m < 5; ++m) {
        text += stamped(kT + 60 * m, "bluetoothd Addr 0000000000bb RSSI -40 AT <dd ee ff>");
        text += stamped(kT + 60 * m + 1, peerLine(8));
    }
    log(text);
    EXPECT_EQ(refresh(), std::pair(std::optional<std::string>(), std::string("searching")));
    EXPECT_EQ(stored()["my_ble_mac"], Json::array({kOwner}));
    EXPECT_EQ(stored()["my_ble_tokens"], Json::array({"aabbcc"}));
    EXPECT_EQ(stored()["conn_nearby"], Json::array());

    // The phone back with a new address but its token: found, and the tokens follow it.
    log(text +
        stamped(kT + 30, "bluetoothd Addr 0000000000cc RSSI -60 nbIAT <aa bb cc> AT <01 02 03>"));
    refresh();
    EXPECT_EQ(stored()["my_ble_mac"], Json::array({"00:00:00:00:00:CC"}));
    EXPECT_EQ(stored()["my_ble_tokens"], Json::array({"010203", "aabbcc"}));
}

TEST_F(Refresh, SaveKeepsForeignKeysAndOnlyObjectUpdatesNeverCreateTheFile) {
    const auto edit = [](nlohmann::ordered_json& o) {
        o["my_device_tail"] = "0123456789AB";
        return true;
    };
    Baseline::updateFile(dir_.path(), edit, true);
    EXPECT_FALSE(Baseline::exists(dir_.path()));

    saveOwner();
    Baseline::updateFile(dir_.path(), edit, true);
    saveOwner({peer(1)});
    const Json saved = stored();
    EXPECT_EQ(saved["my_device_tail"], "0123456789AB");
    EXPECT_EQ(saved["conn_candidates"], Json::array({peer(1)}));
    EXPECT_EQ(saved["mode"], "consumer");
    EXPECT_EQ(saved["my_ble_mac"], Json::array({kOwner}));
    EXPECT_EQ(saved["my_conn_mac"], Json::array());
    EXPECT_EQ(saved["my_conn_state"], "searching");
}

TEST_F(Refresh, AnUnusableBaselineFileTakesTheDefaults) {
    const std::string wronglyTyped = R"({"mode": 5, "my_ble_mac": "00:11:22:AA:BB:CC",
        "my_conn_mac": [1], "my_conn_state": null, "conn_candidates": "x", "keep": true})";
    for (const std::string content : {"{", "", "[1, 2]", "\"text\"", wronglyTyped.c_str()}) {
        SCOPED_TRACE(content);
        writeText(baselineFile(), content);
        // No phone in the window and none stored: nothing to do, nothing written.
        log(stamped(kT, peerLine(1)));
        EXPECT_EQ(refresh(), std::pair(std::optional<std::string>(), std::string("searching")));
        EXPECT_EQ(readText(baselineFile()), content);

        log(stamped(kT, ownerLine(-50)));
        EXPECT_EQ(refresh(), std::pair(std::optional<std::string>(), std::string("searching")));
        const Json saved = stored();
        EXPECT_EQ(saved["mode"], "consumer");
        EXPECT_EQ(saved["my_ble_mac"], Json::array({kOwner}));
        EXPECT_EQ(saved["my_conn_mac"], Json::array());
        EXPECT_EQ(saved["conn_candidates"], Json::array());
        EXPECT_EQ(saved.contains("keep"), content == wronglyTyped);
    }
}

TEST_F(Refresh, WithoutAPhoneItReturnsTheStoredValuesUntouched) {
    writeText(baselineFile(),
              R"({"my_conn_mac": ["66:55:44:33:22:01"], "my_conn_state": "confirmed"})");
    const std::string before = readText(baselineFile());
    log(stamped(kT, peerLine(2)) + stamped(kT + 1, peerLine(2)));
    EXPECT_EQ(refresh(), std::pair(std::optional(peer(1)), std::string("confirmed")));
    EXPECT_EQ(readText(baselineFile()), before);
}
