#pragma once

#include "logstandin/Predicate.h"
#include "logstandin/SyslogLine.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

namespace corvane::logstandin {

/// Plays a syslog-style capture back as a live stream: keeps the lines the predicate
/// accepts, gives each the current time, and spaces them by their original gaps times
/// `speed` (0 = as fast as the reader takes them).
class Replay {
  public:
    Replay(const Predicate& predicate, double speed) : predicate_(predicate), speed_(speed) {}

    /// Writes `line` and a line feed to standard output: at once when paced, else through
    /// its buffer. False when standard output is gone.
    bool emit(std::string_view line);

    /// Replays every line of `source`. False when standard output is gone.
    bool play(std::FILE* source);

    /// Writes out whatever is buffered. False when standard output is gone.
    bool flush();

  private:
    bool replayLine(std::string_view line);
    void pace(const SyslogLine& parsed);

    const Predicate& predicate_;
    const double speed_;
    Restamper restamper_;
    std::string scratch_;
    std::optional<double> lastEventTime_;
    std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::now();
};

} // namespace corvane::logstandin
