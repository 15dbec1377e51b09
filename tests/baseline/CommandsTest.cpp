#include "EvidenceLog.h"
#include "TestConfig.h"
#include "baseline/Baseline.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <sys/wait.h>

using namespace corvane;
using namespace corvane::test;

namespace {

constexpr int64_t kT = 1792314842;

struct Outcome {
    int status = -1;
    std::string output;
};

/// Runs `corvane` with arguments that need no quoting beyond single quotes.
Outcome runCorvane(const std::string& arguments) {
    const std::string command = "'" + std::string(CORVANE_BIN_DIR) + "/corvane' " + arguments;
    Outcome outcome;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return outcome;
    }
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) {
        outcome.output.append(buf, n);
    }
    const int raw = ::pclose(pipe);
    outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return outcome;
}

} // namespace

TEST(Commands, LearnThenBaselineRefresh) {
    TempDir dir;
    const std::string data = "--data '" + dir.path().string() + "'";
    writeText(evidenceLog(dir),
              stamped(kT, "bluetoothd Addr 001122aabbcc RSSI -50") +
                  stamped(kT + 1, "rapportd CUBonjourDevice 66:55:44:33:22:11, TT 0x10") +
                  stamped(kT + 2, "rapportd CUBonjourDevice 66:55:44:33:22:11, TT 0x10"));

    // Nothing since the procedure began: no phone, no file.
    Outcome learn = runCorvane("learn " + data + " --since " + std::to_string(kT + 10));
    EXPECT_EQ(learn.status, 1);
    EXPECT_EQ(learn.output, "");
    EXPECT_FALSE(Baseline::exists(dir.path()));
    EXPECT_EQ(runCorvane("baseline " + data + " --now " + std::to_string(kT + 60)).output,
              "- searching\n");

    learn = runCorvane("learn " + data + " --since " + std::to_string(kT));
    EXPECT_EQ(learn.status, 0);
    EXPECT_EQ(learn.output, "00:11:22:AA:BB:CC\n");
    EXPECT_EQ(readText(Baseline::baselinePath(dir.path())), R"({
  "mode": "consumer",
  "my_ble_mac": [
    "00:11:22:AA:BB:CC"
  ],
  "my_conn_mac": [],
  "my_conn_state": "searching",
  "conn_candidates": []
})");

    const Outcome refreshed = runCorvane("baseline " + data + " --now " + std::to_string(kT + 60));
    EXPECT_EQ(refreshed.status, 0);
    EXPECT_EQ(refreshed.output, "66:55:44:33:22:11 locked\n");
}
