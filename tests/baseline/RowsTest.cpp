#include "EvidenceLog.h"

#include <gtest/gtest.h>
#include <random>

using namespace corvane;
using namespace corvane::test;
using Baseline::Row;

namespace {

constexpr int64_t kStart = 1792314842; // 2026-10-18 09:14:02 UTC

/// A plausible evidence log: Bluetooth and DirectLink lines, markers, lines without an
/// address or a stamp, blank lines and the odd invalid byte. Returns the epochs written.
std::vector<int64_t> writeLog(const std::filesystem::path& path, int lines, int64_t start,
                              unsigned seed, int maxGapSeconds = 20) {
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    std::string text;
    std::vector<int64_t> epochs;
    int64_t t = start;
    for (int i = 0; i < lines; ++i) {
        t += pick(maxGapSeconds + 1);
        epochs.push_back(t);
        char mac[20];
        std::snprintf(mac, sizeof mac, "0011223344%02x", pick(12));
        const std::string tok = "a" + std::to_string(pick(4)) + " bb cc";
        switch (i == 0 ? 7 : pick(8)) { // the first line always gives a row
        case 0:
            text += stamped(t, "— CV-APP capture started");
            break;
        case 1:
            text += stamped(t, "rapportd CUBonjourDevice 66:55:44:33:22:" +
                                   std::to_string(10 + pick(5)) + ", TT 0x10 AT <" + tok + ">");
            break;
        case 2:
            text += "continuation without a stamp Addr 001122aabbcc\n";
            break;
        case 3:
            text += stamped(t, "bluetoothd Addr " + std::string(mac) + " bad byte \xc3(");
            break;
        case 4:
            text += "\n";
            break;
        default:
            text += stamped(t, "bluetoothd Addr " + std::string(mac) + " RSSI -" +
                                   std::to_string(40 + pick(50)) + " nbIAT <" + tok + "> iPhone");
        }
    }
    writeText(path, text);
    return epochs;
}

/// Cutoffs that probe every edge of a log spanning [first, last].
std::vector<double> cutoffsFor(const std::vector<int64_t>& epochs) {
    std::vector<double> out{static_cast<double>(kStart) - 86400.0};
    if (epochs.empty()) {
        return out;
    }
    const auto first = static_cast<double>(epochs.front());
    const auto last = static_cast<double>(epochs.back());
    for (const double f : {0.0, 0.01, 0.5, 0.9, 0.999}) {
        out.push_back(first + f * (last - first));
    }
    out.push_back(static_cast<double>(epochs[epochs.size() / 3])); // exactly a line's time
    out.push_back(last);
    out.push_back(last + 0.5);
    out.push_back(last - 1200);
    return out;
}

void expectSameAsFullScan(const TempDir& dir, const std::vector<double>& cutoffs) {
    for (const double since : cutoffs) {
        const auto expected = fullScan(evidenceLog(dir), since);
        EXPECT_EQ(Baseline::rows(dir.path(), since), expected) << "since " << since;
    }
}

} // namespace

TEST(Rows, BackwardScanEqualsFullScanOnGeneratedLogs) {
    for (const int lines : {0, 1, 7, 300, 12000}) {
        for (const unsigned seed : {1U, 2U}) {
            SCOPED_TRACE(testing::Message() << lines << " lines, seed " << seed);
            TempDir dir;
            const auto epochs = writeLog(evidenceLog(dir), lines, kStart, seed);
            expectSameAsFullScan(dir, cutoffsFor(epochs));
        }
    }
}

TEST(Rows, BackwardScanHandlesAMissingFinalLineFeedAndLinesLongerThanABlock) {
    TempDir dir;
    const std::string longLine =
        stamped(kStart + 5, "Addr 001122aabbcc RSSI -50 " + std::string(700 * 1024, 'x'));
    writeText(evidenceLog(dir), stamped(kStart, "Addr 001122aabbc0") + longLine +
                                    stamped(kStart + 9, "Addr 001122aabbc9") +
                                    util::formatLocalDateTime(kStart + 10) +
                                    " | Addr 001122aabbca");
    const auto found = Baseline::rows(dir.path(), kStart);
    ASSERT_EQ(found.size(), 4U);
    EXPECT_EQ(found[1].rssi, -50);
    EXPECT_EQ(found[3].mac, "00:11:22:AA:BB:CA");
    expectSameAsFullScan(dir, {kStart + 1.0, kStart + 6.0, kStart + 10.0});
}

TEST(Rows, TheScanReadsBackAtMost32MiBAndSkipsLinesOverAMebibyte) {
    TempDir dir;
    // In the window by time all of them, but the first lies behind 32 MiB of bare line
    // feeds, and the third is longer than any line of the log tool.
    writeText(evidenceLog(dir),
              stamped(kStart, "Addr 001122aabb01") + std::string(32u << 20, '\n') +
                  stamped(kStart + 1, "Addr 001122aabb02") +
                  stamped(kStart + 2, "Addr 001122aabb03 " + std::string(3u << 20, 'x')) +
                  stamped(kStart + 3, "Addr 001122aabb04"));
    const auto found = Baseline::rows(dir.path(), kStart);
    ASSERT_EQ(found.size(), 2U);
    EXPECT_EQ(found[0].mac, "00:11:22:AA:BB:02");
    EXPECT_EQ(found[1].mac, "00:11:22:AA:BB:04");
}

TEST(Rows, StampsSteppingBackAnHourAtTheEndOfDaylightSavingAreStillFound) {
    InZone zone("America/New_York");
    TempDir dir;
    // 2026-11-01 00:00 EDT to 04:00 EST: the stamps run through 01:xx twice.
    const int64_t midnightEdt = 1793505600;
    const auto epochs = writeLog(evidenceLog(dir), 3000, midnightEdt, 7, 10);
    ASSERT_GT(epochs.back(), midnightEdt + 4 * 3600);
    std::vector<double> cutoffs = cutoffsFor(epochs);
    for (int64_t t = midnightEdt + 3000; t < midnightEdt + 5 * 3600; t += 900) {
        cutoffs.push_back(static_cast<double>(t));
    }
    expectSameAsFullScan(dir, cutoffs);
    // A line stamped in the first 01:30 reads as the second one, an hour after lines that
    // follow it in the file; the scan must go on past those to reach it.
    TempDir repeated;
    writeText(evidenceLog(repeated),
              stamped(midnightEdt + 5400, "Addr 001122aabb01") +     // 01:30 EDT
                  stamped(midnightEdt + 7200, "Addr 001122aabb02") + // 01:00 EST
                  stamped(midnightEdt + 7300, "Addr 001122aabb03"));
    const auto found = Baseline::rows(repeated.path(), midnightEdt + 7200 + 1800);
    ASSERT_EQ(found.size(), 1U);
    EXPECT_EQ(found[0].mac, "00:11:22:AA:BB:01");
}

TEST(Rows, AnInvalidByteSkipsOnlyItsOwnLine) {
    TempDir dir;
    writeText(evidenceLog(dir), stamped(kStart, "Addr 001122aabb01") +
                                    stamped(kStart + 1, "Addr 001122aabb02 \xff\xfe") +
                                    stamped(kStart + 2, "Addr 001122aabb03"));
    const auto found = Baseline::rows(dir.path(), 0);
    ASSERT_EQ(found.size(), 2U);
    EXPECT_EQ(found[0].mac, "00:11:22:AA:BB:01");
    EXPECT_EQ(found[1].mac, "00:11:22:AA:BB:03");
}

TEST(Rows, MissingOrUnreadableLogGivesNoRows) {
    TempDir dir;
    EXPECT_TRUE(Baseline::rows(dir.path(), 0).empty());
    std::filesystem::create_directory(evidenceLog(dir));
    EXPECT_TRUE(Baseline::rows(dir.path(), 0).empty());
}
