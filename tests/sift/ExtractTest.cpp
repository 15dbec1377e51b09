#include "sift/Extract.h"

#include "util/LocalTime.h"

#include <cmath>
#include <gtest/gtest.h>

namespace corvane::Sift {
namespace {

std::optional<std::string> tailOf(std::string_view line) {
    const LineScan scan(line);
    return deviceTail(scan);
}

std::optional<std::string> accountOf(std::string_view line) {
    const LineScan scan(line);
    const auto id = accountId(scan);
    return id ? std::optional<std::string>(*id) : std::nullopt;
}

TEST(Extract, DeviceTailPrefersStIdThenCommaFormThenIds) {
    EXPECT_EQ(tailOf("x stID 0a1b2c3d-4e5f-6a7b-8c9d-aabbccddeeff y"), "AABBCCDDEEFF");
    EXPECT_EQ(tailOf("IDS 11111111-2222-3333-4444-555555555555 stID "
                     "0a1b2c3d-4e5f-6a7b-8c9d-aabbccddeeff"),
              "AABBCCDDEEFF");
    EXPECT_EQ(tailOf("IDS 11111111-2222-3333-4444-555555555555 "
                     "0a1b2c3d-4e5f-6a7b-8c9d-00000000abcd, CUBonjourDevice 11:22:33:44:55:66"),
              "00000000ABCD");
    EXPECT_EQ(tailOf("IDS 11111111-2222-3333-4444-555555555555"), "555555555555");
    // A UUID cut short is no UUID: P4 needs all of it before the comma.
    EXPECT_FALSE(tailOf("4e5f-6a7b-8c9d-aabbccddeeff, CUBonjourDevice 11:22:33:44:55:66"));
    EXPECT_FALSE(tailOf("stID 0a1b2c3d-4e5f-6a7b-8c9d-aabbccddeef"));
}

TEST(Extract, AccountIdQuotedThenBareForms) {
    EXPECT_EQ(accountOf("from IDS 'Abc12' to"), "Abc12");
    EXPECT_EQ(accountOf("from IDS 'x' to"), "x");
    EXPECT_EQ(accountOf("from IDS Abcdef123 to"), "Abcdef123");
    EXPECT_FALSE(accountOf("from IDS abc to"));     // bare form needs 5 to 24 characters
    EXPECT_FALSE(accountOf("from IDS 1bcdefg to")); // and a leading letter
    EXPECT_FALSE(accountOf("from xIDS Abcdef123")); // and a word boundary before IDS
    EXPECT_EQ(accountOf("IDS Abcdef12-4e5f-6a7b-8c9d-aabbccddeeff"), "Abcdef12");
    EXPECT_EQ(accountOf("IDS Abcdef123 then IDS 'Quoted1'"), "Quoted1"); // quoted form wins
}

TEST(Extract, AccessLevelTextAndFlagTokens) {
    for (const char* line :
         {"CLinkD connection AcLv = Screen (7)", "AcLv Screen(7)", "AcLv=Screen(7) more"}) {
        const LineScan scan(line);
        EXPECT_EQ(accessLevel(scan), "Screen (7)") << line;
    }
    const LineScan keyboard("AcLv = Keyboard (5) ok");
    EXPECT_EQ(accessLevel(keyboard), "Keyboard (5)");
    const LineScan none("AcLv = Screen");
    EXPECT_EQ(accessLevel(none), "—");

    // Flag tokens keep their first appearance, once.
    const LineScan scan("SF 0x1c < a b  a > then DF 0x2 < b c > nbIF 0x1 <  > DsFl 0xA < d >");
    EXPECT_EQ(collectFlagTokens(scan), (std::vector<std::string>{"a", "b", "c", "d"}));
    const LineScan noFlags("SF 0x < a >");
    EXPECT_TRUE(collectFlagTokens(noFlags).empty());
}

TEST(Extract, EventEpochReadsMicrosecondsAndSkipsTheCaptureStamp) {
    const LineScan scan("2026-10-18 09:14:02 | 2026-10-18 09:14:01.000001-0700  localhost x");
    const auto t = eventEpoch(scan);
    ASSERT_TRUE(t);
    const double whole = static_cast<double>(*util::parseLocalDateTime("2026-10-18 09:14:01"));
    EXPECT_NEAR(*t - whole, 0.000001, 1e-7);
    EXPECT_EQ(formatEventTime(*t), "2026-10-18 09:14:01.000001");

    const LineScan noFraction("2026-10-18 09:14:02 | 2026-10-18 09:14:01 localhost x");
    EXPECT_FALSE(eventEpoch(noFraction));
    const LineScan notADate("2026-10-18 09:14:02 | 2026-02-30 09:14:01.000001");
    EXPECT_FALSE(eventEpoch(notADate));
    const LineScan atEpoch("1970-01-01 00:00:00.500000"); // TZ=UTC: not after 1970
    EXPECT_FALSE(eventEpoch(atEpoch));
}

TEST(Extract, FormatEventTimeRoundsToTheLogsOwnDigitsWithoutCarry) {
    const double base = static_cast<double>(*util::parseLocalDateTime("2026-10-18 09:14:01"));
    // Every six-digit fraction written into the log comes back unchanged.
    for (int micros = 0; micros < 1000000; micros += 7919) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%06d", micros);
        const std::string line = std::string("2026-10-18 09:14:01.") + digits;
        const LineScan scan(line);
        EXPECT_EQ(formatEventTime(*eventEpoch(scan)), line);
    }
    // A fraction that rounds up to a whole second stays in its own second.
    EXPECT_EQ(formatEventTime(86400.9999999), "1970-01-02 00:00:00.999999");
    EXPECT_EQ(formatEventTime(std::nextafter(base + 1, 0.0)), "2026-10-18 09:14:01.999999");
    EXPECT_EQ(formatEventTime(0), "—");
    EXPECT_EQ(formatEventTime(-1), "—");
    EXPECT_EQ(formatEventTime(1e12), "—");
    EXPECT_EQ(formatEventTime(std::nan("")), "—");
}

TEST(Extract, CaptureStampFromAnyPositionAndUnicodeDigits) {
    const LineScan plain("2026-10-18 09:14:02 | x");
    const auto stamp = captureStamp(plain);
    ASSERT_TRUE(stamp);
    EXPECT_EQ(stamp->date, "2026-10-18");
    EXPECT_EQ(stamp->time, "09:14:02");
    EXPECT_GT(captureEpoch(*stamp), 0);

    const LineScan later("prefix 2026-13-01 10:00:00 rest");
    const auto month13 = captureStamp(later);
    ASSERT_TRUE(month13);
    EXPECT_EQ(month13->date, "2026-13-01");
    EXPECT_EQ(captureEpoch(*month13), 0);

    // \d takes any script's digits, as the log's regular expressions do; such a date is no
    // date for the formatter.
    const LineScan arabic("\xD9\xA2\xD9\xA0\xD9\xA2\xD9\xA6-10-18 09:14:02 | x");
    const auto unicode = captureStamp(arabic);
    ASSERT_TRUE(unicode);
    EXPECT_EQ(captureEpoch(*unicode), 0);
    EXPECT_EQ(utf8Prefix("\xD9\xA0\xD9\xA1:\xD9\xA2\xD9\xA3:00", 5),
              "\xD9\xA0\xD9\xA1:\xD9\xA2\xD9\xA3");

    const LineScan none("no date 2026-10-18 9:14:02");
    EXPECT_FALSE(captureStamp(none));
}

} // namespace
} // namespace corvane::Sift
