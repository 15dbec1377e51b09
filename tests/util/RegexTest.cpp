#include "util/Regex.h"

#include <gtest/gtest.h>

using corvane::util::Regex;

TEST(Regex, FirstMatchAndGroups) {
    const Regex re("(\\d{4}-\\d{2}-\\d{2}) (\\d{2}:\\d{2}:\\d{2})(x)?");
    const auto m = re.search("at 2026-10-18 09:14:02 and 2027-01-01 00:00:00");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->group(1), "2026-10-18");
    EXPECT_EQ(m->group(2), "09:14:02");
    EXPECT_FALSE(m->group(3)); // did not take part
    EXPECT_FALSE(m->group(7)); // no such group
}

TEST(Regex, FailedCompileNeverMatches) {
    const Regex re("(unclosed");
    EXPECT_FALSE(re.compiled());
    EXPECT_FALSE(re.search("(unclosed"));
}

TEST(Regex, UnicodeClassesAndInvalidUtf8) {
    const Regex digits("^\\d+$");
    EXPECT_TRUE(digits.search("\xD9\xA3\xD9\xA4")); // Arabic-Indic digits are digits
    const Regex any("a");
    EXPECT_FALSE(any.search("a\xFF")); // ill-formed subject: no match, no crash
}

TEST(Regex, ForEachVisitsNonOverlappingMatches) {
    const Regex re("<([a-z]*)>");
    std::vector<std::string> seen;
    re.forEach("<a><><bc>", [&](const auto& m) { seen.emplace_back(*m.group(1)); });
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "", "bc"}));
}
