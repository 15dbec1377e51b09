#include "TempDir.h"
#include "sift/Sift.h"
#include "util/LocalTime.h"

#include <clocale>
#include <cstdlib>
#include <gtest/gtest.h>

namespace corvane::Sift {
namespace {

constexpr const char* kMac = "AA:BB:CC:DD:EE:01";

double epoch(const char* localDateTime) {
    return static_cast<double>(*util::parseLocalDateTime(localDateTime));
}

/// An evidence-log line: capture stamp, separator, and a syslog-style event line.
std::string line(const std::string& capture, const std::string& event, const std::string& message,
                 const std::string& process = "rapportd[412]") {
    return capture + " | " + event + "-0700  localhost " + process + ": " + message;
}

std::string line(const std::string& capture, const std::string& message) {
    return line(capture, capture + ".250000", message);
}

State ingest(const std::vector<std::string>& lines, State state = {}) {
    for (const auto& l : lines) {
        ingestLine(l, state);
    }
    return state;
}

TEST(Ingest, LinesWithoutADateOrTheToolBannerChangeNothing) {
    const std::string everything =
        "CUBonjourDevice aa:bb:cc:dd:ee:01 TT 0x10 < AWDL > DeviceAuthTag: owner SameAccountDevice "
        "IDS 'Abc12' Screen (7) NeedsKeyboard RPIdentityDaemon Resolved DeviceAuthTag CLinkD "
        "connection AcLv = Screen (7) bluetoothd Evaluating AuthTag from device found AWDL";
    EXPECT_EQ(ingest({everything, "", "\xFF\xFE"}), State{});
    EXPECT_EQ(ingest({"2026-10-18 09:14:02 | Filtering the log data using \"" + everything + "\""}),
              State{});
    // The same text as an event is analysed.
    EXPECT_NE(ingest({"2026-10-18 09:14:02 | " + everything}), State{});
}

TEST(Ingest, DirectLinkPeerWithAccountsAidAndOwner) {
    const State s = ingest({
        line("2026-10-18 09:14:02",
             "CUBonjourDevice aa:bb:cc:dd:ee:01 TT 0x10 < AWDL > IDS 'Abc12' AID 'aid-9' "
             "stID 0a1b2c3d-4e5f-6a7b-8c9d-aabbccddeeff DeviceAuthTag: owner"),
        line("2026-10-18 09:14:05", "CUBonjourDevice AA:BB:CC:DD:EE:01 TT 0x10 IDS Bare12345"),
        line("2026-10-18 09:14:05", "CUBonjourDevice aa:bb:cc:dd:ee:01 TT 0x10 found DirectLink"),
    });
    EXPECT_TRUE(s.aPeer.empty()); // DirectLink wins over AWDL
    ASSERT_EQ(s.dPeer.count(kMac), 1u);
    const Peer& p = s.dPeer.at(kMac);
    EXPECT_EQ(p.first, epoch("2026-10-18 09:14:02"));
    EXPECT_EQ(p.last, epoch("2026-10-18 09:14:05"));
    EXPECT_EQ(p.lastHMS, "09:14:05");
    EXPECT_EQ(p.n, 3);
    EXPECT_EQ(s.dAdsid.at(kMac), (std::map<std::string, int64_t>{{"Abc12", 1}})); // quoted only
    EXPECT_EQ(s.macAid.at(kMac), (std::map<std::string, int64_t>{{"aid-9", 1}}));
    EXPECT_EQ(s.macTail.at(kMac), (std::map<std::string, int64_t>{{"AABBCCDDEEFF", 1}}));
    EXPECT_EQ(s.owner, (std::set<std::string>{kMac}));
    EXPECT_EQ(s.minE, epoch("2026-10-18 09:14:02"));
    EXPECT_EQ(s.maxE, epoch("2026-10-18 09:14:05"));
}

TEST(Ingest, AMacWithoutPeerMarkerOrAViewMarkerAloneTouchOnlyTheirOwnPart) {
    const State s = ingest({line(
        "2026-10-18 09:14:02", "CUBonjourDevice aa:bb:cc:dd:ee:01 IDS 'Abc12' AID 'x' "
                               "stID 0a1b2c3d-4e5f-6a7b-8c9d-aabbccddeeff DeviceAuthTag: owner")});
    EXPECT_EQ(s.macTail.at(kMac).at("AABBCCDDEEFF"), 1);
    EXPECT_TRUE(s.dPeer.empty() && s.aPeer.empty() && s.dAdsid.empty() && s.aAdsid.empty() &&
                s.macAid.empty() && s.owner.empty());

    State expected;
    expected.minE = expected.maxE = epoch("2026-10-18 09:14:02");
    expected.view = {line("2026-10-18 09:14:02", "found DirectLink")};
    EXPECT_EQ(ingest({line("2026-10-18 09:14:02", "found DirectLink")}), expected);
    // A dated line without any marker only moves the time range.
    expected.view.clear();
    EXPECT_EQ(ingest({line("2026-10-18 09:14:02", "nothing to see")}), expected);
}

TEST(Ingest, UnrealDateIsAnalysedWithCaptureEpochZero) {
    const State s = ingest({line("2026-13-01 10:00:00", "2026-10-18 09:14:01.250000",
                                 "CUBonjourDevice aa:bb:cc:dd:ee:01 < AWDL > IDS 'Abc12'")});
    ASSERT_EQ(s.aPeer.count(kMac), 1u);
    EXPECT_EQ(s.aPeer.at(kMac).first, 0);
    EXPECT_EQ(s.aPeer.at(kMac).last, 0);
    EXPECT_EQ(s.aPeer.at(kMac).lastDate, "2026-13-01"); // last <= 0 holds: the line wins
    EXPECT_EQ(s.aAdsid.at(kMac).at("Abc12"), 1);
    EXPECT_EQ(s.minE, kMaxDouble);
    EXPECT_EQ(s.maxE, 0);
}

TEST(Ingest, CulpritsNeedQuotedIdsOwnerAndNoPairVerify) {
    const State s = ingest({
        line("2026-10-18 09:14:02", "SameAccountDevice IDS 'Abc12' AID 'a1' owner"),
        line("2026-10-18 09:14:09", "SameAccountDevice IDS 'Abc12' is owner"),
        line("2026-10-18 09:14:10", "SameAccountDevice IDS 'Other1' owner PairVerify"),
        line("2026-10-18 09:14:11", "SameAccountDevice IDS Bare12345 owner"),
        line("2026-10-18 09:14:12", "SameAccountDevice IDS 'NoOwner1'"),
    });
    ASSERT_EQ(s.cul.size(), 1u);
    const Cul& c = s.cul.at("Abc12");
    EXPECT_EQ(c.aid, "a1"); // kept when a later line has none
    EXPECT_EQ(c.occ, 2);
    EXPECT_EQ(c.first, epoch("2026-10-18 09:14:02"));
    EXPECT_EQ(c.last, epoch("2026-10-18 09:14:09"));
}

TEST(Ingest, AccessEventsPerMinuteAccountAndKind) {
    const State s = ingest({
        line("2026-10-18 09:14:02", "Screen (7) IDS 'Abc12' AID 'first'"),
        line("2026-10-18 09:14:59", "Screen (7) IDS 'Abc12' AID 'second'"),
        line("2026-10-18 09:15:00", "Screen (7) IDS 'Abc12'"),
        line("2026-10-18 09:14:30", "Screen (7) IDS 'Other1'"),
        line("2026-10-18 09:14:31", "NeedsKeyboard IDS 'Abc12' CUBonjourDevice aa:bb:cc:dd:ee:01"),
        line("2026-10-18 09:14:32", "Screen (7) and nobody"),
    });
    ASSERT_EQ(s.access.size(), 5u);
    const Acc& first = s.access.at("2026-10-18|09:14|S|Abc12");
    EXPECT_EQ(first.aid, "first");
    EXPECT_EQ(first.hms, "09:14:02");
    EXPECT_EQ(first.type, "Screen sharing");
    EXPECT_EQ(first.mac, "—");
    EXPECT_EQ(s.access.at("2026-10-18|09:15|S|Abc12").aid, "—");
    EXPECT_TRUE(s.access.count("2026-10-18|09:14|S|Other1"));
    const Acc& kbd = s.access.at("2026-10-18|09:14|K|Abc12");
    EXPECT_EQ(kbd.type, "Keyboard sharing");
    EXPECT_EQ(kbd.mac, kMac);
    EXPECT_EQ(s.access.at("2026-10-18|09:14|S|—").acct, "—");
}

std::string resolution(const char* eventTime, const std::string& account, const char* aid = "") {
    std::string msg = "RPIdentityDaemon Resolved DeviceAuthTag < AWDL > CUBonjourDevice "
                      "aa:bb:cc:dd:ee:01 IDS '" +
                      account + "'";
    if (*aid) {
        msg += std::string(" AID '") + aid + "'";
    }
    return line("2026-10-18 09:14:02", eventTime, msg);
}

std::string connection(const char* eventTime, const std::string& extra = "") {
    return line("2026-10-18 09:14:02", eventTime,
                "CLinkD connection IDS 'Abc12' AcLv = Screen (7) client CID 0x1f "
                "SF 0x1c < a b a > DF 0x2 < b c >" +
                    extra);
}

TEST(Ingest, PairsMatchTheNearestResolutionWithinTenMillisecondsInAnyLogOrder) {
    // 12 ms away, no account, no event time: nothing recorded, no total changed.
    State s = ingest({resolution("2026-10-18 09:14:01.000000", "Abc12"),
                      connection("2026-10-18 09:14:01.012000"),
                      line("2026-10-18 09:14:02", "2026-10-18 09:14:01.001000",
                           "CLinkD connection AcLv Screen(7)"),
                      "2026-10-18 09:14:02 | CLinkD connection IDS 'Abc12' AcLv S(7)"});
    EXPECT_EQ(s.recentRes.size(), 1u);
    EXPECT_TRUE(s.pairs.empty());
    EXPECT_EQ(s.pairsTotal, 0);

    // 8 ms before and 3 ms after: the closer one, later in the log, wins.
    s = ingest({resolution("2026-10-18 09:14:01.092000", "Abc12", "res-early"),
                resolution("2026-10-18 09:14:01.103000", "Abc12", "res-late"),
                resolution("2026-10-18 09:14:01.100500", "Other1"),
                connection("2026-10-18 09:14:01.100000")});
    ASSERT_EQ(s.pairs.size(), 1u);
    const PairRow& p = s.pairs.front();
    EXPECT_EQ(p.delta, "3.000");
    EXPECT_EQ(p.aid, "res-late"); // the line has none: the resolution's
    EXPECT_EQ(p.mac, kMac);
    EXPECT_EQ(p.ids, "Abc12");
    EXPECT_EQ(p.aclv, "Screen (7)");
    EXPECT_EQ(p.cid, "0x1f");
    EXPECT_EQ(p.svc, "a · b · c");
    EXPECT_TRUE(p.screen);
    EXPECT_EQ(p.time, "2026-10-18 09:14:01.100000");
    EXPECT_EQ(s.pairsTotal, 1);
    EXPECT_EQ(s.pairsScreen, 1);

    // The line's own AID is kept; an access level without screen or keyboard is no screen.
    s = ingest({resolution("2026-10-18 09:14:01.000000", "Abc12", "res"),
                line("2026-10-18 09:14:02", "2026-10-18 09:14:01.001000",
                     "CLinkD connection IDS 'Abc12' AID 'own' AcLv Pair(3)")});
    ASSERT_EQ(s.pairs.size(), 1u);
    EXPECT_EQ(s.pairs.front().aid, "own");
    EXPECT_EQ(s.pairs.front().aclv, "Pair (3)");
    EXPECT_EQ(s.pairs.front().cid, "—");
    EXPECT_EQ(s.pairs.front().svc, "—");
    EXPECT_FALSE(s.pairs.front().screen);
    EXPECT_EQ(s.pairsScreen, 0);

    // A resolution logged out of order does not hide a match behind it.
    s = ingest({resolution("2026-10-18 09:14:01.100000", "Abc12", "match"),
                resolution("2026-10-18 09:14:01.050000", "Abc12", "late entry"),
                connection("2026-10-18 09:14:01.102000")});
    ASSERT_EQ(s.pairs.size(), 1u);
    EXPECT_EQ(s.pairs.front().aid, "match");
    EXPECT_EQ(s.pairs.front().delta, "2.000");
}

TEST(Ingest, NumbersAreWrittenTheSameUnderAnyLocale) {
    // The app's process follows the user's locale; a German one writes "2,000" with printf.
    test::TempDir dir;
    const std::string compile =
        "localedef -i de_DE -f UTF-8 '" + (dir / "de_DE.utf8").string() + "' >/dev/null 2>&1";
    if (std::system(compile.c_str()) != 0) {
        GTEST_SKIP() << "no locale compiler";
    }
    ::setenv("LOCPATH", dir.path().c_str(), 1);
    ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
    const State s = ingest({resolution("2026-10-18 09:14:01.100000", "Abc12"),
                            connection("2026-10-18 09:14:01.102000")});
    std::setlocale(LC_NUMERIC, "C");
    ::unsetenv("LOCPATH");
    ASSERT_EQ(s.pairs.size(), 1u);
    EXPECT_EQ(s.pairs.front().delta, "2.000");
}

TEST(Ingest, BluetoothAndKeyboardEvaluationRows) {
    const State s = ingest({
        line("2026-10-18 09:14:02", "2026-10-18 09:14:01.500000", "NeedsKeyboard nbAT <a1 b2>",
             "bluetoothd[88]"),
        line("2026-10-18 09:14:03", "2026-10-18 09:14:02.000001",
             "Evaluating AuthTag from device BLE addr aa:bb:cc:dd:ee:99 IDS Abcdef1 "
             "AcLv = Keyboard (5) nbAF 0x1 < k > selfAuthTag <c0 ff> CUBonjourDevice "
             "11:22:33:44:55:66"),
        line("2026-10-18 09:14:04", "2026-10-18 09:14:03.000000",
             "Evaluating AuthTag from device CUBonjourDevice 11:22:33:44:55:66"),
        line("2026-10-18 09:14:05", "Evaluating AuthTag from device"),
    });
    ASSERT_EQ(s.ble.size(), 1u);
    EXPECT_EQ(s.ble[0].nbat, "a1 b2");
    EXPECT_EQ(s.ble[0].time, "2026-10-18 09:14:01.500000");
    EXPECT_EQ(s.bleTotal, 1);
    EXPECT_EQ(s.access.count("2026-10-18|09:14|K|—"), 1u); // also a keyboard access event
    ASSERT_EQ(s.kbd.size(), 3u);
    EXPECT_EQ(s.kbd[0].mac, "aa:bb:cc:dd:ee:99"); // in the case found
    EXPECT_EQ(s.kbd[0].ids, "Abcdef1");
    EXPECT_EQ(s.kbd[0].aclv, "Keyboard (5)");
    EXPECT_EQ(s.kbd[0].svc, "k");
    EXPECT_EQ(s.kbd[0].selftag, "c0 ff");
    EXPECT_EQ(s.kbd[1].mac, "11:22:33:44:55:66");
    EXPECT_EQ(s.kbd[1].selftag, "—");
    EXPECT_EQ(s.kbd[1].aclv, "—");
    EXPECT_EQ(s.kbd[2].mac, "—");
    EXPECT_EQ(s.kbdTotal, 3);
}

TEST(Ingest, CapsDropTheOldestWhileTotalsKeepCounting) {
    State s;
    for (int i = 0; i <= 6000; ++i) {
        char t[40];
        std::snprintf(t, sizeof t, "2026-10-18 %02d:%02d:%02d.000000", 10 + i / 3600, i / 60 % 60,
                      i % 60);
        ingestLine(resolution(t, "Abc12", std::to_string(i).c_str()), s);
    }
    EXPECT_EQ(s.recentRes.size(), 6000u);
    EXPECT_EQ(s.recentRes.front().aid, "1");
    EXPECT_EQ(s.recentRes.back().aid, "6000");
    EXPECT_EQ(s.view.size(), 5000u);
    EXPECT_EQ(s.view.back(), resolution("2026-10-18 11:40:00.000000", "Abc12", "6000"));

    s = State{};
    ingestLine(resolution("2026-10-18 09:14:01.000000", "Abc12"), s);
    const std::string pair = connection("2026-10-18 09:14:01.001000");
    for (int i = 0; i < 4001; ++i) {
        ingestLine(pair, s);
    }
    EXPECT_EQ(s.pairs.size(), 4000u);
    EXPECT_EQ(s.pairsTotal, 4001);
    EXPECT_EQ(s.pairsScreen, 4001);
}

TEST(Ingest, TimesAreLocalToTheProcessZoneAcrossADaylightSavingChange) {
    // 2026-03-08 02:00 does not exist in New York; 01:59:59 EST is followed by 03:00:00 EDT.
    const std::vector<std::string> lines{
        line("2026-03-08 01:59:59", "2026-03-08 01:59:58.999999",
             "CUBonjourDevice aa:bb:cc:dd:ee:01 TT 0x10 NeedsKeyboard bluetoothd"),
        line("2026-03-08 03:00:01", "2026-03-08 03:00:00.000001",
             "CUBonjourDevice aa:bb:cc:dd:ee:01 TT 0x10 NeedsKeyboard bluetoothd"),
        line("2026-03-08 02:30:00", "2026-03-08 02:30:00.000000",
             "CUBonjourDevice aa:bb:cc:dd:ee:02 TT 0x10 NeedsKeyboard bluetoothd"),
    };
    const State utc = ingest(lines);
    State ny;
    {
        test::InZone zone("America/New_York");
        ny = ingest(lines);
    }
    const Peer& u = utc.dPeer.at(kMac);
    const Peer& n = ny.dPeer.at(kMac);
    EXPECT_EQ(u.last - u.first, 3602); // no change in UTC
    EXPECT_EQ(n.last - n.first, 2);    // one hour skipped in New York
    EXPECT_EQ(n.first - u.first, 5 * 3600);
    // The skipped hour is no time at all there: capture epoch 0, no event time.
    EXPECT_EQ(ny.dPeer.at("AA:BB:CC:DD:EE:02").first, 0);
    EXPECT_EQ(utc.dPeer.at("AA:BB:CC:DD:EE:02").first, epoch("2026-03-08 02:30:00"));
    ASSERT_EQ(ny.ble.size(), 2u);
    ASSERT_EQ(utc.ble.size(), 3u);
    // Formatting happens in the zone of the moment: the same texts come back.
    EXPECT_EQ(ny.ble[0].time, "2026-03-08 01:59:58.999999");
    EXPECT_EQ(ny.ble[1].time, "2026-03-08 03:00:00.000001");
    EXPECT_NEAR(ny.ble[1].t - ny.ble[0].t, 1.000002, 1e-6);
    EXPECT_NEAR(utc.ble[1].t - utc.ble[0].t, 3601.000002, 1e-6);
}

} // namespace
} // namespace corvane::Sift
