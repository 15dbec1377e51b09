#include "sift/State.h"

#include "TempDir.h"
#include "capture/DataFolder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace corvane::Sift {
namespace {

using nlohmann::json;
using test::TempDir;

/// A state with every field and record type filled, values chosen to be awkward.
State sampleState() {
    State s;
    s.head = "2026-10-18 09:14:02 | — CV-APP capture started";
    s.offset = 1234567890123ULL;
    s.lines = 9876543210ULL;
    s.macTail["AA:BB:CC:DD:EE:FF"]["AABBCCDDEEFF"] = 3;
    s.dPeer["AA:BB:CC:DD:EE:FF"] = Peer{1.5, 1792222222.25, "09:14:02", "2026-10-18", 7, {{1, 0}, {9, 4096}}, {497839}};
    s.dAdsid["AA:BB:CC:DD:EE:FF"]["Abc12"] = 2;
    s.aPeer["11:22:33:44:55:66"] = Peer{0, 0.1 + 0.2, "00:00:00", "2026-01-01", 1, {}, {}};
    s.aAdsid["11:22:33:44:55:66"]["Zed99"] = 1;
    s.macAid["11:22:33:44:55:66"]["aid-1"] = 4;
    s.owner = {"AA:BB:CC:DD:EE:FF", "11:22:33:44:55:66"};
    s.cul["Abc12"] = Cul{"aid-1", 2, 10, 20, {{3, 77}}, {0}};
    s.access["2026-10-18|09:14|S|Abc12"] =
        Acc{1792222222, "2026-10-18", "09:14:02", "Screen sharing", "Abc12", "—", "—", {{4, 99}}};
    s.minE = kMaxDouble;
    s.maxE = 1792222222.000001;
    s.recentRes.push_back(Res{1792222221.734512, "2026-10-18", "—", "Abc12", "—", {5, 120}});
    s.pairs.push_back(PairRow{1792222221.737512, "2026-10-18 09:14:01.737512", "AA:BB:CC:DD:EE:FF",
                              "Abc12", "aid", "Screen (7)", "3.000", "0x1f", "a · b", true,
                              {{5, 120}, {6, 300}}});
    s.pairsTotal = 1;
    s.pairsScreen = 1;
    s.kbd.push_back(KbdRow{5e-324, "t", "m", "i", "—", "—", "a1 b2", {{7, 400}}});
    s.kbdTotal = 1;
    s.ble.push_back(BleRow{2.5, "t", "c0 ff", {}});
    s.bleTotal = 1;
    s.view = {"line one", "line \"two\" with ünïcödé"};
    return s;
}

TEST(StateJson, RoundTripsEveryFieldExactlyAndToleratesWhatDoesNotMatter) {
    const State s = sampleState();
    const std::string text = toJson(s).dump();
    const auto back = fromJson(json::parse(text));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, s);
    // Shortest round-trip form, the largest finite double included.
    EXPECT_NE(text.find("1.7976931348623157e+308"), std::string::npos);
    EXPECT_NE(text.find("\"t\":2.5"), std::string::npos);

    const State fresh;
    const auto freshBack = fromJson(json::parse(toJson(fresh).dump()));
    ASSERT_TRUE(freshBack);
    EXPECT_EQ(freshBack->minE, kMaxDouble);
    EXPECT_EQ(*freshBack, fresh);

    // Extra keys, integers in float fields and any order of the owner set are accepted.
    json j = toJson(s);
    j["future"] = {{"x", 1}};
    j["dPeer"]["AA:BB:CC:DD:EE:FF"]["extra"] = "ignored";
    j["minE"] = 1792222222; // integer literal in a float field
    j["owner"] = {"11:22:33:44:55:66", "AA:BB:CC:DD:EE:FF", "11:22:33:44:55:66"};
    const auto lenient = fromJson(j);
    ASSERT_TRUE(lenient);
    EXPECT_EQ(lenient->minE, 1792222222.0);
    EXPECT_EQ(lenient->owner, s.owner);
    EXPECT_EQ(lenient->dPeer, s.dPeer);
}

TEST(StateJson, EveryMissingTopLevelKeyRejectsTheState) {
    State sample = sampleState();
    sample.passTime = 1792339980;
    const json full = toJson(sample);
    for (const auto& [key, value] : full.items()) {
        json j = full;
        j.erase(key);
        if (key == "passTime") {
            // Files written before the clock was kept still load, with no clock.
            const auto older = fromJson(j);
            ASSERT_TRUE(older);
            EXPECT_EQ(older->passTime, 0);
            sample.passTime = 0;
            EXPECT_EQ(*older, sample);
            continue;
        }
        EXPECT_FALSE(fromJson(j)) << key;
    }
}

TEST(StateJson, MissingOrMistypedRecordFieldRejectsTheState) {
    const json full = toJson(sampleState());
    const auto rejects = [&](const json::json_pointer& at, const json& value) {
        json j = full;
        j[at] = value;
        return !fromJson(j);
    };
    EXPECT_TRUE(rejects("/pairs/0/screen"_json_pointer, 1));
    EXPECT_TRUE(rejects("/cul/Abc12/occ"_json_pointer, 2.0)); // integers must be JSON integers
    EXPECT_TRUE(rejects("/recentRes/0/ids"_json_pointer, nullptr));
    EXPECT_TRUE(rejects("/owner/2"_json_pointer, 5));
    EXPECT_TRUE(rejects("/offset"_json_pointer, -1));
    EXPECT_TRUE(rejects("/bleTotal"_json_pointer, json::parse("9223372036854775808")));
    json j = full;
    j["dPeer"]["AA:BB:CC:DD:EE:FF"].erase("lastDate");
    EXPECT_FALSE(fromJson(j));
    EXPECT_FALSE(fromJson(json::array()));
}

TEST(StateFile, SaveThenLoadAndEveryBadFileGivesTheFreshState) {
    TempDir dir;
    const auto path = DataFolder(dir).liveState();
    EXPECT_EQ(loadState(path), State{}); // missing

    const State s = sampleState();
    ASSERT_TRUE(saveState(s, path));
    EXPECT_EQ(loadState(path), s);

    const std::string text = test::readText(path);
    test::writeText(path, text.substr(0, text.size() / 2)); // truncated
    EXPECT_EQ(loadState(path), State{});
    test::writeText(path, "");
    EXPECT_EQ(loadState(path), State{});
    test::writeText(path, "[1,2]");
    EXPECT_EQ(loadState(path), State{});

    json j = json::parse(text);
    j.erase("bleTotal");
    test::writeText(path, j.dump());
    EXPECT_EQ(loadState(path), State{});

    // A folder in the way of the file: the save fails, nothing is thrown.
    EXPECT_FALSE(saveState(s, dir / "missing-folder" / "x" / "state.json"));
}

} // namespace
} // namespace corvane::Sift
