#include "baseline/RowReader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace corvane::Baseline;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr std::string_view kStamp = "2026-10-18 09:14:02 | ";
constexpr double kStampEpoch = 1792314842; // kStamp in UTC

Row rowOf(std::string_view payload) {
    const auto row = rowOfLine(std::string(kStamp) + std::string(payload), 0);
    EXPECT_TRUE(row.has_value()) << payload;
    return row.value_or(Row{});
}

std::optional<std::string> macOf(std::string_view payload) {
    const auto row = rowOfLine(std::string(kStamp) + std::string(payload), 0);
    return row ? std::optional(row->mac) : std::nullopt;
}

} // namespace

TEST(RowReader, AddressRulesApplyInOrder) {
    EXPECT_EQ(macOf("bluetoothd Addr 001122aabbcc RSSI -60"), "00:11:22:AA:BB:CC");
    EXPECT_EQ(macOf("found CBDevice 01234567-89AB-CDEF-0123-456789ABCDEF"), "45:67:89:AB:CD:EF");
    // The device identifier's last 12 digits are its address.
    EXPECT_EQ(macOf("SFBLEDevice ID 01234567-89ab-cdef-0123-456789abcdef"), "45:67:89:AB:CD:EF");
    // An address with colons wins over every other form, and is upper-cased.
    EXPECT_EQ(macOf("peer aa:bb:cc:dd:ee:0f Addr 001122aabbcc"), "AA:BB:CC:DD:EE:0F");
    EXPECT_EQ(macOf("Addr 001122aabbcc CBDevice 01234567-89AB-CDEF-0123-456789ABCDEF"),
              "00:11:22:AA:BB:CC");
    EXPECT_EQ(macOf("SFBLEDevice ID 01234567-89ab-cdef-0123-456789abcdef "
                    "CBDevice 01234567-89AB-CDEF-0123-000000000001"),
              "45:67:89:AB:CD:EF");
    // The identifier pattern is lower-case only: an upper-case one falls through.
    EXPECT_EQ(macOf("SFBLEDevice ID 01234567-89AB-CDEF-0123-456789ABCDEF"), std::nullopt);
    EXPECT_EQ(macOf("Addr 001122aabb (too short)"), std::nullopt);
    EXPECT_EQ(macOf("— CV-APP capture started"), std::nullopt);
}

TEST(RowReader, TokensAreSixHexDigitsFromEitherForm) {
    EXPECT_THAT(rowOf("Addr 001122aabbcc nbIAT <AA BB CC>").toks, ElementsAre("aabbcc"));
    EXPECT_THAT(rowOf("Addr 001122aabbcc nbIAT <AABBCCDD>").toks, IsEmpty());
    EXPECT_THAT(rowOf("Addr 001122aabbcc AT <0a 0b 0c>").toks, ElementsAre("0a0b0c"));
    EXPECT_THAT(rowOf("Addr 001122aabbcc AT 0a0b0c, nbIAT <ddEEff> AT <0a 0b 0c>").toks,
                ElementsAre("0a0b0c", "ddeeff"));
    // "AT" must start a word.
    EXPECT_THAT(rowOf("Addr 001122aabbcc CAT <0a 0b 0c>").toks, IsEmpty());
}

TEST(RowReader, RowCarriesSignalTimePhoneFlagAndNormalisedTtCode) {
    const Row row = rowOf("2026-10-18 09:14:01.734512 Addr 001122aabbcc RSSI -67 iPhone TT 0x4");
    EXPECT_EQ(row.rssi, -67);
    EXPECT_EQ(row.epoch, kStampEpoch); // the capture stamp, not the event time
    EXPECT_TRUE(row.iphone);
    EXPECT_EQ(row.tt, "0x04");
    EXPECT_EQ(rowOf("Addr 001122aabbcc RSSI:-40").rssi, std::nullopt);
    EXPECT_FALSE(rowOf("Addr 001122aabbcc iphone").iphone);
    EXPECT_EQ(rowOf("Addr 001122aabbcc TT 0x10").tt, "0x10");
    EXPECT_EQ(rowOf("Addr 001122aabbcc TT 0x04").tt, "0x04");
    EXPECT_EQ(rowOf("Addr 001122aabbcc TT 0x11").tt, std::nullopt);
    EXPECT_EQ(rowOf("Addr 001122aabbcc").tt, std::nullopt);
}

TEST(RowReader, LinesWithoutUsableTimeOrBeforeTheCutoffGiveNoRow) {
    EXPECT_FALSE(rowOfLine("Addr 001122aabbcc", 0).has_value());
    EXPECT_FALSE(rowOfLine("2026-02-30 09:14:02 | Addr 001122aabbcc", 0).has_value());
    const std::string line = std::string(kStamp) + "Addr 001122aabbcc";
    EXPECT_TRUE(rowOfLine(line, kStampEpoch).has_value());
    EXPECT_FALSE(rowOfLine(line, kStampEpoch + 1).has_value());
    // A time later in the line counts when the line does not begin with one.
    const auto late = rowOfLine("noise 2026-10-18 09:14:02 Addr 001122aabbcc", 0);
    ASSERT_TRUE(late.has_value());
    EXPECT_EQ(late->epoch, kStampEpoch);
    EXPECT_FALSE(rowOfLine(std::string(kStamp) + "Addr 001122aabbcc \xff", 0).has_value());
}
