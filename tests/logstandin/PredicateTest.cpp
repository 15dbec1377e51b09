#include "logstandin/Predicate.h"

#include "capture/Capture.h"

#include <gtest/gtest.h>

namespace corvane::logstandin {
namespace {

Predicate parsed(std::string_view text) {
    auto result = Predicate::parse(text);
    if (!result.predicate) {
        ADD_FAILURE() << text << ": " << result.error;
        return *Predicate::parse(R"(process == "")").predicate;
    }
    return std::move(*result.predicate);
}

TEST(PredicateTest, TheCapturePredicateSelectsTheDaemonsWordsOfInterest) {
    const Predicate p = parsed(Capture::predicate);
    EXPECT_TRUE(p.matches({"rapportd", "found DirectLink peer"}));
    EXPECT_TRUE(p.matches({"sharingd", "FILE SHARING on"}));
    EXPECT_TRUE(p.matches({"bluetoothd", "x NeedsKeyboard y"}));
    EXPECT_TRUE(p.matches({"rapportd", "RPRemoteDisplayDaemon"}));
    EXPECT_FALSE(p.matches({"kernel", "found DirectLink peer"})) << "other processes";
    EXPECT_FALSE(p.matches({"rapportd", "nothing of interest"}));
    EXPECT_FALSE(p.matches({"rapportd", "found directlink peer"})) << "case-sensitive";
    EXPECT_FALSE(p.matches({"rapportdx", "DirectLink"})) << "== is exact";
    EXPECT_FALSE(p.matches({"", ""}));
}

TEST(PredicateTest, AndBindsTighterThanOrAndParenthesesGroup) {
    const Predicate loose =
        parsed(R"(process == "a" OR process == "b" AND eventMessage CONTAINS "x")");
    EXPECT_TRUE(loose.matches({"a", "no"}));
    EXPECT_FALSE(loose.matches({"b", "no"}));
    EXPECT_TRUE(loose.matches({"b", "x"}));

    const Predicate grouped =
        parsed(R"((process == "a" OR process == "b") and eventMessage contains "x")");
    EXPECT_FALSE(grouped.matches({"a", "no"}));
    EXPECT_TRUE(grouped.matches({"a", "x"}));

    const Predicate escaped = parsed(R"(eventMessage CONTAINS "say \"hi\" \\ now")");
    EXPECT_TRUE(escaped.matches({"p", R"(they say "hi" \ now)"}));
}

TEST(PredicateTest, AnythingOutsideTheGrammarIsRejected) {
    const std::string deep = std::string(1000, '(') + "process == \"a\"" + std::string(1000, ')');
    for (const std::string text :
         {"", "process", "process ==", "process == rapportd", "pid == \"1\"", "process LIKE \"a\"",
          "process = \"a\"", "process == \"a\" AND", "(process == \"a\"", "process == \"a\")",
          "process == \"open", "process == \"a\" ORprocess == \"b\"", "process == \"a\" \"b\"",
          deep.c_str()}) {
        const auto result = Predicate::parse(text);
        EXPECT_FALSE(result.predicate) << text;
        EXPECT_FALSE(result.error.empty()) << text;
    }
}

} // namespace
} // namespace corvane::logstandin
