#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace corvane::logstandin {

/// What the stand-in needs of one syslog-style line, e.g.
/// "2026-10-18 09:14:01.734512-0700  host rapportd[412]: (Rapport) ...".
struct SyslogLine {
    std::string_view process;        ///< the name of the first "name[pid]:" token, or empty
    std::string_view eventMessage;   ///< the text after that token's "]: ", else the rest
    size_t stampLength = 0;          ///< 0 without a leading event time, else 26 or 31 (zone)
    std::optional<double> eventTime; ///< the leading event time in seconds, for pacing
};

SyslogLine parseSyslogLine(std::string_view line);

/// Stamps of the current local time in the shape of a line's leading event time:
/// "yyyy-MM-dd HH:mm:ss.ffffff" and, for the long shape, the zone offset "+hhmm".
class Restamper {
  public:
    /// The stamp of now; `length` is a SyslogLine::stampLength other than 0. The view
    /// stays valid until the next call.
    std::string_view now(size_t length);

  private:
    int64_t second_ = INT64_MIN; // the second whose wall-clock text buf_ holds
    char buf_[32] = {};
};

} // namespace corvane::logstandin
