#include "baseline/Baseline.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace corvane::Baseline;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

Row row(std::string mac, std::optional<int64_t> rssi, double epoch,
        std::set<std::string> toks = {}) {
    Row r;
    r.mac = std::move(mac);
    r.rssi = rssi;
    r.toks = std::move(toks);
    r.epoch = epoch;
    return r;
}

/// Rows of one address seen once in each of `minutes` consecutive minutes.
void addMinutes(std::vector<Row>& rows, const std::string& mac, int minutes, int64_t rssi,
                double start) {
    for (int m = 0; m < minutes; ++m) {
        rows.push_back(row(mac, rssi, start + 60.0 * m + 1));
    }
}

} // namespace

TEST(OwnerBle, AddressesSharingATokenFormOneClusterWhoseLatestAddressIsThePhone) {
    const std::vector<Row> rows{
        row("AA:00:00:00:00:01", -50, 1000, {"aabbcc"}),
        row("AA:00:00:00:00:02", -60, 1130, {"aabbcc", "ddeeff"}),
        // No signal: joins the cluster through its token but is not an observation.
        row("AA:00:00:00:00:03", std::nullopt, 5000, {"ddeeff"}),
        row("BB:00:00:00:00:01", -30, 1200),
    };
    const auto [mac, members] = ownerBLE(rows);
    EXPECT_EQ(mac, "AA:00:00:00:00:02");
    EXPECT_THAT(members,
                ElementsAre("AA:00:00:00:00:01", "AA:00:00:00:00:02", "AA:00:00:00:00:03"));
}

TEST(OwnerBle, MoreDistinctMinutesWinAndTheStrongerSignalBreaksTies) {
    std::vector<Row> rows;
    addMinutes(rows, "AA:00:00:00:00:01", 5, -85, 0);
    addMinutes(rows, "BB:00:00:00:00:01", 4, -35, 0);
    EXPECT_EQ(ownerBLE(rows).first, "AA:00:00:00:00:01");

    rows.clear();
    addMinutes(rows, "AA:00:00:00:00:01", 4, -85, 0);
    addMinutes(rows, "BB:00:00:00:00:01", 4, -35, 0);
    // Several sightings within one minute count once.
    rows.push_back(row("AA:00:00:00:00:01", -85, 59.5));
    EXPECT_EQ(ownerBLE(rows).first, "BB:00:00:00:00:01");
}

TEST(OwnerBle, OnEqualTimesTheEarlierRowIsTheLatestAndRowsWithoutSignalNeverMakeAPhone) {
    std::vector<Row> rows{
        row("AA:00:00:00:00:01", -50, 1000, {"aabbcc"}),
        row("AA:00:00:00:00:02", -50, 1000, {"aabbcc"}),
    };
    EXPECT_EQ(ownerBLE(rows).first, "AA:00:00:00:00:01");

    for (Row& r : rows) {
        r.rssi = std::nullopt;
    }
    const auto [mac, members] = ownerBLE(rows);
    EXPECT_EQ(mac, std::nullopt);
    EXPECT_THAT(members, IsEmpty());
    EXPECT_EQ(ownerBLE({}).first, std::nullopt);
}
