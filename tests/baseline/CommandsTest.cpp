#include "EvidenceLog.h"
#include "ShellCommand.h"
#include "TestConfig.h"
#include "baseline/Baseline.h"
#include "util/LocalTime.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace corvane;
using namespace corvane::test;

namespace {

constexpr int64_t kT = 1792314842;

} // namespace

TEST(Commands, LearnThenBaselineRefresh) {
    TempDir dir;
    const std::string data = "--data '" + dir.path().string() + "'";
    writeText(evidenceLog(dir),
              stamped(kT, "bluetoothd Addr 001122aabbcc RSSI -50 AT <aa bb cc>") +
                  stamped(kT, "bluetoothd Addr 001122aabbcc RSSI -52 AT <aa bb cc>") +
                  stamped(kT + 1, "rapportd CUBonjourDevice 66:55:44:33:22:11, TT 0x10") +
                  stamped(kT + 2, "rapportd CUBonjourDevice 66:55:44:33:22:11, TT 0x10, AT "
                                  "<aa bb cc>"));

    // Nothing since the procedure began: no phone, and a file that says the setup is looking.
    ShellResult learn = runCorvane("learn " + data + " --since " + std::to_string(kT + 10));
    EXPECT_EQ(learn.status, 1);
    EXPECT_EQ(learn.output, "corvane learn: No phone found near this Mac: none advertised near "
                            "it since " +
                                util::formatLocalDateTime(kT + 10) + "\n");
    EXPECT_TRUE(Baseline::exists(dir.path()));
    // The analysis keeps looking: the phone near the Mac whose token a DirectLink line shows.
    EXPECT_EQ(runCorvane("baseline " + data + " --now " + std::to_string(kT + 60)).output,
              "66:55:44:33:22:11 locked\n");

    learn = runCorvane("learn " + data + " --since " + std::to_string(kT) + " --now " +
                       std::to_string(kT + 30));
    EXPECT_EQ(learn.status, 0);
    EXPECT_EQ(learn.output, "00:11:22:AA:BB:CC\n");
    const auto saved = nlohmann::json::parse(readText(Baseline::baselinePath(dir.path())));
    EXPECT_EQ(saved["my_ble_mac"], nlohmann::json::array({"00:11:22:AA:BB:CC"}));
    EXPECT_EQ(saved["my_ble_tokens"], nlohmann::json::array({"aabbcc"}));
    EXPECT_EQ(saved["my_conn_state"], "searching");

    const ShellResult refreshed =
        runCorvane("baseline " + data + " --now " + std::to_string(kT + 60));
    EXPECT_EQ(refreshed.status, 0);
    EXPECT_EQ(refreshed.output, "66:55:44:33:22:11 locked\n");
}
