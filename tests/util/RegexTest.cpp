#include "util/Regex.h"

#include <gtest/gtest.h>

using corvane::util::Regex;

TEST(Regex, FirstMatchAndGroupsAndNonOverlappingMatches) {
    const Regex re("(\\d{4}-\\d{2}-\\d{2}) (\\d{2}:\\d{2}:\\d{2})(x)?");
    const auto m = re.search("at 2026-10-18 09:14:02 and 2027-01-01 00:00:00");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->group(1), "2026-10-18");
    EXPECT_EQ(m->group(2), "09:14:02");
    EXPECT_FALSE(m->group(3)); // did not take part
    EXPECT_FALSE(m->group(7)); // no such group

    std::vector<std::string> seen;
    Regex("<([a-z]*)>").forEach("<a><><bc>", [&](const auto& each) {
        seen.emplace_back(*each.group(1));
    });
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "", "bc"}));
}

TEST(Regex, UnicodeDigitsInvalidUtf8AndAFailedCompileNeverMatch) {
    EXPECT_TRUE(Regex("^\\d+$").search("\xD9\xA3\xD9\xA4")); // Arabic-Indic digits are digits
    EXPECT_FALSE(Regex("a").search("a\xFF")); // ill-formed subject: no match, no crash
    const Regex unclosed("(unclosed");
    EXPECT_FALSE(unclosed.compiled());
    EXPECT_FALSE(unclosed.search("(unclosed"));
}
