#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::util {

/// Wall-clock times "yyyy-MM-dd HH:mm:ss" in the process's time zone (TZ honoured), the
/// Gregorian calendar, ASCII digits. Both directions keep a small per-thread cache of the
/// zone offset of the current hour, so a stream of log lines costs no call into the C
/// library's time zone machinery per line.

/// Strict parse of exactly "yyyy-MM-dd HH:mm:ss". A date or time that does not exist
/// (month 13, 30 February, hour 24, a time in the hour skipped when daylight saving starts)
/// gives nothing; a time in the hour repeated when it ends is the later of its two instants.
std::optional<int64_t> parseLocalDateTime(std::string_view text);

/// "yyyy-MM-dd HH:mm:ss" of an instant (seconds since 1970), in local time.
std::string formatLocalDateTime(int64_t epochSeconds);

/// The same, written into `out` (19 characters, no terminator), for years up to 9999.
void formatLocalDateTime(int64_t epochSeconds, char* out);

/// Human-readable time of a value in seconds: local "yyyy-MM-dd HH:mm:ss" of its whole
/// second, or "—" unless 0 < t < 1e12.
std::string formatTimestamp(double t);

/// ISO 8601 internet date-time in UTC with seconds and "Z", e.g. "2026-10-18T20:10:40Z".
std::string formatIsoUtc(int64_t epochSeconds);

/// Local time with a strftime pattern (for names such as "yyyy-MM-dd_HHmm").
std::string formatLocal(int64_t epochSeconds, const char* strftimePattern);

/// Seconds since 1970 now.
double nowEpoch();

/// Re-reads TZ and forgets cached offsets; for callers that change TZ while running.
void timeZoneChanged();

/// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d);

} // namespace corvane::util
