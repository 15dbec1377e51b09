#include "util/LocalTime.h"

#include "TempDir.h"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace corvane::util;

using corvane::test::InZone;

TEST(LocalTime, ParsesAndFormatsInUtcAndRejectsWhatDoesNotExist) {
    InZone zone("UTC");
    EXPECT_EQ(parseLocalDateTime("1970-01-01 00:00:00"), 0);
    EXPECT_EQ(parseLocalDateTime("2026-10-18 09:14:02"), 1792314842);
    EXPECT_EQ(formatLocalDateTime(1792314842), "2026-10-18 09:14:02");
    EXPECT_EQ(formatIsoUtc(1792354240), "2026-10-18T20:10:40Z");
    EXPECT_EQ(parseLocalDateTime("2024-02-29 12:00:00"), 1709208000);
    for (const char* text : {"2026-13-01 00:00:00", "2026-02-30 00:00:00", "2025-02-29 00:00:00",
                             "2026-10-18 24:00:00", "2026-10-18 12:60:00", "2026-10-18 12:00:60",
                             "2026-00-10 00:00:00", "2026-10-00 00:00:00", "2026-10-18T12:00:00",
                             "2026-10-18 1:00:00", "2026-10-18 12:00:0x", ""}) {
        EXPECT_FALSE(parseLocalDateTime(text).has_value()) << text;
    }
    // Timestamps outside the range print an em dash.
    EXPECT_EQ(formatTimestamp(0), "—");
    EXPECT_EQ(formatTimestamp(-1), "—");
    EXPECT_EQ(formatTimestamp(1e12), "—");
    EXPECT_EQ(formatTimestamp(1792314842.9), "2026-10-18 09:14:02");
    EXPECT_EQ(formatTimestamp(999999999999), "33658-09-27 01:46:39");
}

TEST(LocalTime, DaylightSavingGapDoesNotParseAndOverlapTakesTheLaterInstant) {
    InZone zone("America/New_York");
    // 2026-03-08: 02:00-02:59 does not exist.
    EXPECT_FALSE(parseLocalDateTime("2026-03-08 02:30:00").has_value());
    EXPECT_EQ(parseLocalDateTime("2026-03-08 01:59:59"), 1772953199);
    EXPECT_EQ(parseLocalDateTime("2026-03-08 03:00:00"), 1772953200);
    // 2026-11-01: 01:00-01:59 happens twice; the later (EST) instant wins.
    EXPECT_EQ(parseLocalDateTime("2026-11-01 01:30:00"), 1793514600);
    EXPECT_EQ(formatLocalDateTime(1793514600), "2026-11-01 01:30:00");
    EXPECT_EQ(formatLocalDateTime(1793511000), "2026-11-01 01:30:00");
    EXPECT_EQ(parseLocalDateTime("2026-07-01 12:00:00"), 1782921600);
}

TEST(LocalTime, RoundTripsEverySecondAcrossATransitionDay) {
    InZone zone("Europe/Berlin");
    const int64_t start = 1792886400; // 2026-10-25 00:00 UTC, the night clocks go back
    for (int64_t t = start - 7200; t < start + 7200; t += 7) {
        const std::string text = formatLocalDateTime(t);
        const auto back = parseLocalDateTime(text);
        ASSERT_TRUE(back.has_value()) << text;
        // In the repeated hour the earlier instant reads back as the later one.
        EXPECT_TRUE(*back == t || *back == t + 3600) << text;
    }
}
