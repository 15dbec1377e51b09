#include "util/Utf8.h"

#include <gtest/gtest.h>

using corvane::util::isValidUtf8;
using corvane::util::replaceInvalidUtf8;

namespace {
const std::string kFffd = "\xEF\xBF\xBD";
}

TEST(Utf8, EachMaximalIllFormedSubsequenceBecomesOneReplacement) {
    // Examples from the Unicode standard's discussion of U+FFFD substitution.
    EXPECT_EQ(replaceInvalidUtf8("a\x80z"), "a" + kFffd + "z");
    EXPECT_EQ(replaceInvalidUtf8("\xE2\x82z"), kFffd + "z");              // truncated 3-byte
    EXPECT_EQ(replaceInvalidUtf8("\xF0\x9F\x98"), kFffd);                 // truncated at the end
    EXPECT_EQ(replaceInvalidUtf8("\xC0\xAF"), kFffd + kFffd);             // overlong lead
    EXPECT_EQ(replaceInvalidUtf8("\xED\xA0\x80"), kFffd + kFffd + kFffd); // surrogate
    EXPECT_EQ(replaceInvalidUtf8("\xF4\x90\x80\x80"),
              kFffd + kFffd + kFffd + kFffd); // above U+10FFFF
    EXPECT_EQ(replaceInvalidUtf8("\xFF\xFE"), kFffd + kFffd);
    EXPECT_FALSE(isValidUtf8("\xE2\x82"));
    EXPECT_FALSE(isValidUtf8(std::string_view("abcdefgh\xC3", 9)));
}

TEST(Utf8, WellFormedTextAndNulBytesPassAndIllFormedBytesAmongLongAsciiRunsAreFound) {
    const std::string text = "plain ascii — em dash · middle dot 😀" + std::string(1000, 'x') +
                             std::string(1, '\0') + "\xC3\xA9";
    EXPECT_TRUE(isValidUtf8(text));
    EXPECT_EQ(replaceInvalidUtf8(text), text);

    const std::string run(40, 'x');
    const std::string bad = "\xC3\xA9" + run + "\xE2\x80\x94" + run + "\x80" + run;
    EXPECT_FALSE(isValidUtf8(bad));
    EXPECT_EQ(replaceInvalidUtf8(bad), "\xC3\xA9" + run + "\xE2\x80\x94" + run + kFffd + run);
}
