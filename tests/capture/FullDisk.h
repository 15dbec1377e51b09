#pragma once

#include "Subprocess.h"
#include "TempDir.h"
#include "TestConfig.h"
#include "capture/DataFolder.h"

#include <algorithm>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <optional>
#include <signal.h>
#include <string>
#include <vector>

namespace corvane::test {

/// A capture source of `count` lines of about 130 bytes each.
inline void writeLongSource(const std::filesystem::path& path, int count) {
    std::string source;
    for (int i = 0; i < count; ++i) {
        source += "2026-10-18 09:14:01.734512-0700  mac rapportd[412]: DirectLink " +
                  std::string(60, 'x') + "\n";
    }
    writeText(path, source);
}

/// Runs a `corvane monitor` (`argv`) whose disk fills, until it shows `error`, then stops it.
/// The count of lines it shows must be the count that reached the log. Returns the log.
inline std::string runUntilTheDiskIsFull(const std::vector<std::string>& argv,
                                         const std::vector<std::string>& env,
                                         const std::filesystem::path& log,
                                         const std::string& error) {
    Subprocess monitor(argv, env);
    std::optional<std::string> line;
    while ((line = monitor.readLine()) && line->find(error) == std::string::npos) {
    }
    EXPECT_TRUE(line) << "the write error is shown";
    monitor.signal(SIGINT);
    const std::string rest = monitor.readAll();
    EXPECT_EQ(monitor.wait(), 1) << "lines were lost: " << rest;
    const std::string text = readText(log);
    const auto shown = rest.rfind(" lines written");
    if (shown == std::string::npos) {
        ADD_FAILURE() << rest;
        return text;
    }
    const auto number = rest.rfind(' ', shown - 1) + 1;
    EXPECT_EQ(std::stoul(rest.substr(number, shown - number)),
              static_cast<size_t>(std::count(text.begin(), text.end(), '\n')))
        << rest;
    EXPECT_THAT(rest, ::testing::HasSubstr("Can't write the log — " + error));
    return text;
}

/// With room again, the next run's start marker begins a line of its own right after the
/// `before` bytes the full disk left.
inline void expectTheNextRunStartsAfreshLine(const std::filesystem::path& data,
                                             const std::vector<std::string>& env, size_t before) {
    Subprocess again({std::string(CORVANE_BIN_DIR) + "/corvane", "monitor", "--data", data}, env);
    EXPECT_TRUE(again.readLine());
    again.signal(SIGINT);
    again.readAll();
    EXPECT_EQ(again.wait(), 0);
    const std::string after = readText(DataFolder(data).evidenceLog());
    const size_t start = before > 0 && after[before - 1] == '\n' ? before : before + 1;
    ASSERT_GT(after.size(), start + 49);
    if (start > before) {
        EXPECT_EQ(after[before], '\n') << "the cut line is finished first";
    }
    EXPECT_THAT(after.substr(start, 22), ::testing::MatchesRegex("[0-9-]+ [0-9:]+ [|] "));
    EXPECT_EQ(after.substr(start + 22, 26), "— CV-APP capture started");
}

} // namespace corvane::test
