#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

/// Judges the detection on the labelled scenarios: replays each one through the `corvane`
/// tool as the application would run it and compares the dashboard files with the truth.
namespace corvane::eval {

/// A share such as a precision: `hit` of `of`; undefined when `of` is 0.
struct Share {
    size_t hit = 0;
    size_t of = 0;
    bool perfect() const { return hit == of; }
};

struct Result {
    std::string scenario;
    std::string expectedVerdict;
    std::string verdict;        // sift/ALL.json
    std::string summaryVerdict; // sift/summary.json
    std::string expectedTail;
    std::string tail;
    std::string connState;
    Share directPrecision, directRecall;
    Share awdlPrecision, awdlRecall;
    Share culpritPrecision, culpritRecall;
    std::set<std::string> ownCulprits; // own accounts listed as culprits
    std::set<std::string> foreignConn; // foreign addresses in "my_conn_mac" after any pass
    std::set<std::string> foreignBle;  // other addresses in "my_ble_mac" after any pass
    std::set<std::string> foreignKnown; // foreign tails or addresses among the known devices
    Share claims;                       // addresses of devices on a stolen account shown as
                                        // rows claiming to be the owner, at the last pass
    size_t judged = 0;                  // passes judged (after the setup)
    size_t wrongVerdicts = 0;           // of those, with the wrong verdict
    size_t wrongTails = 0;              // of those, with the wrong owner tail
    std::string firstWrong;             // the first such pass, in words
    size_t earlyAlarms = 0;             // judged passes COMPROMISED before any alarm was due
    std::optional<double> latency;      // seconds from the first alarm due to COMPROMISED
    bool alarmDue = false;              // the scenario has an alarm due at some point
    bool rowsCut = false;              // a rogue list holds fewer rows than its total
    std::string error;                 // a command that failed, with its output

    /// Every way the result misses the targets; empty when it meets them all.
    std::vector<std::string> misses() const;
};

/// Seconds between two passes, as the application's timer runs them.
constexpr double kPassInterval = 45;

/// The longest a foreign connection may go before the verdict says COMPROMISED.
constexpr double kMaxLatency = 90;

/// Writes the scenario into `work`/scenario, then appends its evidence log to the data folder
/// `work`/data line by line in time order, running `corvane learn` at the end of the setup
/// window (when the scenario has one, and again at each pass while it finds no phone near the
/// Mac, as the setup assistant keeps looking), `corvane trust` when the scenario's owner
/// confirms a device, and `corvane pass` every `kPassInterval` seconds of scenario time and
/// once at its end. Judges the verdict and the owner's tail of every pass after the setup,
/// the baseline keys after every pass, and the rows of the last pass.
Result evaluate(const std::string& scenario, uint64_t seed, const std::filesystem::path& binDir,
                const std::filesystem::path& work);

/// The results as one table, with a line of legend.
std::string table(const std::vector<Result>& results);

} // namespace corvane::eval
