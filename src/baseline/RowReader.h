#pragma once

#include "baseline/Baseline.h"

#include <optional>
#include <string>
#include <string_view>

/// The per-line reading behind `rows`, exposed for the tests and the benchmark.
namespace corvane::Baseline {

/// "AA:BB:CC:DD:EE:FF" from exactly 12 hexadecimal digits; nothing for any other length.
std::optional<std::string> macFrom12(std::string_view digits);

/// The row of one evidence-log line (without its line feed) when the line holds valid UTF-8,
/// a parsable time at or after `since` and an address; nothing otherwise.
std::optional<Row> rowOfLine(std::string_view line, double since);

/// How far before the cutoff the backward scan keeps reading: capture stamps are local wall
/// time, which steps back an hour when daylight saving ends, so a line somewhat older than the
/// cutoff does not prove that every earlier line is older still.
inline constexpr double kStampSlackSeconds = 2 * 3600;

} // namespace corvane::Baseline
