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

TEST_F(Refresh, WithoutABaselineFileOrAPhoneInTheWindowNothingIsWritten) {
    log(stamped(kT, ownerLine(-50)) + stamped(kT + 1, peerLine(1)) + stamped(kT + 2, peerLine(1)));
    EXPECT_EQ(refresh(), std::pair(std::optional<std::string>(), std::string("searching")));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "sift"));

    // With one but no phone in the window, it returns the stored values untouched.
    writeText(baselineFile(),
              R"({"my_conn_mac": ["66:55:44:33:22:01"], "my_conn_state": "confirmed"})");
    const std::string before = readText(baselineFile());
    log(stamped(kT, peerLine(2)) + stamped(kT + 1, peerLine(2)));
    EXPECT_EQ(refresh(), std::pair(std::optional(peer(1)), std::string("confirmed")));
    EXPECT_EQ(readText(baselineFile()), before);
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

    // While its tokens are unknown, a phone near the Mac whose token shows on a DirectLink
    // line to it replaces the stored one; one that only advertises, however strong, does not.
    const std::string near = "bluetoothd Addr 0000000000aa RSSI -40 AT <11 22 33>";
    log(stamped(kT, near) + stamped(kT + 5, near));
    refresh();
    EXPECT_EQ(stored()["my_ble_mac"], Json::array({kOwner}));
    log(stamped(kT, near) + stamped(kT + 5, near) + stamped(kT + 6, peerLine(9, "AT <11 22 33>")));
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

        log(stamped(kT, ownerLine(-50, "AT <aa bb cc>")) +
            stamped(kT + 9, ownerLine(-50, "AT <aa bb cc>")) +
            stamped(kT + 10, peerLine(1, "AT <aa bb cc>")));
        EXPECT_EQ(refresh(), std::pair(std::optional(peer(1)), std::string("locked")));
        const Json saved = stored();
        EXPECT_EQ(saved["mode"], "consumer");
        EXPECT_EQ(saved["my_ble_mac"], Json::array({kOwner}));
        EXPECT_EQ(saved["my_conn_mac"], Json::array({peer(1)}));
        EXPECT_EQ(saved["conn_candidates"], Json::array({peer(1)}));
        EXPECT_EQ(saved.contains("keep"), content == wronglyTyped);
    }
}

namespace {

/// A DirectLink line of address `n` naming the device with tail `tail`, and more.
std::string deviceLine(int n, const std::string& tail, std::string_view extra) {
    return peerLine(n, "stID 01234567-89ab-cdef-0123-" + tail + ", " + std::string(extra));
}

} // namespace

TEST_F(Refresh, SetupLearnsThePhoneNearTheMacAndEveryDeviceOnTheOwnersAccount) {
    const std::string phone = "AAAAAAAAAAAA", pad = "CCCCCCCCCCCC", stranger = "DDDDDDDDDDDD";
    std::string text;
    // A neighbour's phone through the wall, every minute; the phone only briefly, but near.
    for (int m = 0; m < 8; ++m) {
        text += stamped(kT + 60 * m, "bluetoothd Addr 0000000000dd RSSI -80 nbIAT <dd dd dd>");
    }
    const std::string beforePhone = text;
    text += stamped(kT + 400, ownerLine(-50, "AT <aa bb cc>")) +
            stamped(kT + 404, ownerLine(-48, "AT <aa bb cc>")) +
            stamped(kT + 405, deviceLine(1, phone, "IDS 'Own01', AT <aa bb cc>")) +
            stamped(kT + 406, deviceLine(2, pad, "IDS 'Own01'")) +
            stamped(kT + 407, "rapportd CUBonjourDevice 66:55:44:33:22:03, < AWDL >, TT 0x04, "
                              "IDS 'Own01', DeviceAuthTag: <aa bb cc>") +
            stamped(kT + 408, deviceLine(4, stranger, "IDS 'Foe01'"));
    // Before the phone came near there is nothing to learn, and the file says it is looking.
    log(beforePhone);
    auto learned = Baseline::learn(dir_.path(), kT, kT + 300);
    EXPECT_FALSE(learned.bleMac);
    EXPECT_EQ(stored()["my_ble_mac"], Json::array());

    log(text);
    learned = Baseline::learn(dir_.path(), kT, kNow);
    EXPECT_EQ(learned.bleMac, kOwner);
    EXPECT_EQ(learned.phoneTail, phone);
    EXPECT_EQ(learned.devices, std::vector<std::string>{pad});
    Json saved = stored();
    EXPECT_EQ(saved["my_device_tail"], phone);
    ASSERT_EQ(saved["known_devices"].size(), 2u);
    EXPECT_EQ(saved["known_devices"][0]["learned"], "setup");
    EXPECT_EQ(saved["known_devices"][1]["tail"], pad);
    EXPECT_EQ(saved["device_macs"],
              Json({{peer(1), phone}, {peer(2), pad}, {peer(3), phone}})); // AWDL by token

    // The owner confirms the stranger's device; a bad tail is refused; nothing else changes.
    EXPECT_TRUE(Baseline::trust(dir_.path(), "not-a-tail", 1200, kNow));
    EXPECT_EQ(Baseline::trust(dir_.path(), "dddddddddddd", 1200, kNow), std::nullopt);
    saved = stored();
    ASSERT_EQ(saved["known_devices"].size(), 3u);
    EXPECT_EQ(saved["known_devices"][2]["tail"], stranger);
    EXPECT_EQ(saved["known_devices"][2]["learned"], "confirmed");
    EXPECT_EQ(saved["known_devices"][2]["at"], kNow);
    EXPECT_EQ(saved["my_device_tail"], phone);

    // A new setup keeps what the owner confirmed.
    Baseline::learn(dir_.path(), kT, kNow);
    EXPECT_EQ(stored()["known_devices"].size(), 3u);
}

TEST_F(Refresh, IdentifiersOfAnOlderVersionStandOnlyOnThePhonesTokens) {
    const std::string phone = "AAAAAAAAAAAA", laptop = "DDDDDDDDDDDD";
    writeText(baselineFile(), R"({"mode": "consumer", "my_ble_mac": ["00:11:22:AA:BB:CC"],
        "my_conn_mac": ["66:55:44:33:22:05"], "my_conn_state": "confirmed",
        "conn_candidates": ["66:55:44:33:22:05"], "my_device_tail": "dddddddddddd"})");
    // The neighbour's laptop the earlier rules took for the owner's is still around; the phone
    // has not yet shown its token on a DirectLink line.
    log(stamped(kT, ownerLine(-50, "AT <aa bb cc>")) +
        stamped(kT + 1, deviceLine(5, laptop, "IDS 'Foe01'")));
    refresh();
    Json saved = stored();
    EXPECT_FALSE(saved.contains("my_device_tail"));
    EXPECT_EQ(saved["my_conn_mac"], Json::array());
    EXPECT_EQ(saved["unverified"]["my_device_tail"], Json::array({laptop}));
    EXPECT_EQ(saved["unverified"]["my_conn_mac"], Json::array({peer(5)}));
    EXPECT_EQ(saved["known_devices"], Json::array());

    // Its token proves the phone's tail, which is recorded and known from then on.
    log(stamped(kT, ownerLine(-50, "AT <aa bb cc>")) +
        stamped(kT + 1, deviceLine(5, laptop, "IDS 'Foe01'")) +
        stamped(kT + 2, deviceLine(1, phone, "IDS 'Own01', AT <aa bb cc>")));
    refresh();
    saved = stored();
    EXPECT_EQ(saved["my_device_tail"], phone);
    EXPECT_EQ(saved["my_conn_mac"], Json::array({peer(1)}));
    EXPECT_EQ(saved["known_devices"][0]["tail"], phone);
    EXPECT_EQ(saved["known_devices"][0]["learned"], "evidence");
    EXPECT_EQ(saved["unverified"]["my_device_tail"], Json::array({laptop}));
}
