#pragma once

#include "logstandin/Predicate.h"
#include "logstandin/SyslogLine.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

namespace corvane::logstandin {

/// Waits until standard output's reader has gone or `timeout` has passed (forever when
/// negative). Returns whether the reader has gone. Output to a file or a terminal never goes.
bool outputClosedWithin(std::chrono::milliseconds timeout);

/// The slowest replay: one second of the capture takes this many. Gaps are waited out in
/// whole clock ticks, so a larger factor would overflow them.
inline constexpr double kMaxSpeed = 1000;
/// The longest wait between two lines: the capture's gap times the speed, cut to this.
inline constexpr double kMaxGapSeconds = 86400;

/// Plays a syslog-style capture back as a live stream: keeps the lines the predicate
/// accepts, gives each the current time, and spaces them by their original gaps times
/// `speed` (0 = as fast as the reader takes them).
class Replay {
  public:
    Replay(const Predicate& predicate, double speed) : predicate_(predicate), speed_(speed) {}

    /// Writes `line` and a line feed to standard output: at once when paced, else through
    /// its buffer. False when standard output is gone.
    bool emit(std::string_view line);

    /// Replays every line of `source`, each cut to `kMaxLineBytes` (a longer run without a
    /// line feed is replayed cut as soon as it reaches that length). False when standard
    /// output is gone.
    bool play(std::FILE* source);

    static constexpr size_t kMaxLineBytes = size_t{1} << 20;

    /// Writes out whatever is buffered. False when standard output is gone.
    bool flush();

  private:
    bool replayLine(std::string_view line);
    bool pace(const SyslogLine& parsed);

    const Predicate& predicate_;
    const double speed_;
    Restamper restamper_;
    std::string scratch_;
    std::optional<double> lastEventTime_;
    std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::now();
};

} // namespace corvane::logstandin
