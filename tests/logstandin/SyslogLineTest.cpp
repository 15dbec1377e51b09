#include "logstandin/SyslogLine.h"

#include <gtest/gtest.h>

namespace corvane::logstandin {
namespace {

TEST(SyslogLineTest, FindsProcessMessageAndEventTime) {
    const auto a = parseSyslogLine(
        "2026-10-18 09:14:01.734512-0700  mac rapportd[412]: (Rapport) [c:d] peer x[1]: y");
    EXPECT_EQ(a.process, "rapportd");
    EXPECT_EQ(a.eventMessage, "(Rapport) [c:d] peer x[1]: y");
    EXPECT_EQ(a.stampLength, 31u);
    const auto b = parseSyslogLine("2026-10-18 08:14:02.234512-0800  mac sharingd[7]:message");
    EXPECT_EQ(b.process, "sharingd");
    EXPECT_EQ(b.eventMessage, "message");
    ASSERT_TRUE(a.eventTime && b.eventTime);
    EXPECT_DOUBLE_EQ(*b.eventTime - *a.eventTime, 0.5) << "zone offsets are applied";

    const auto c = parseSyslogLine("2026-10-18 09:14:01.734512 mac [pid]: odd [12x]: bluetoothd");
    EXPECT_EQ(c.stampLength, 26u);
    EXPECT_EQ(c.process, "");
    EXPECT_EQ(c.eventMessage, "mac [pid]: odd [12x]: bluetoothd");

    const auto d = parseSyslogLine("Timestamp  (process)[PID]");
    EXPECT_EQ(d.stampLength, 0u);
    EXPECT_FALSE(d.eventTime);
    EXPECT_FALSE(parseSyslogLine("2026-13-18 09:14:01.734512 x").eventTime);
    EXPECT_FALSE(parseSyslogLine("2026-10-18 09:14:01.73451 x").eventTime);
}

} // namespace
} // namespace corvane::logstandin
