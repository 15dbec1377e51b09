#pragma once

#include "baseline/Baseline.h"

#include <optional>
#include <string>
#include <string_view>

/// The per-line reading behind `rows`, exposed so that tests can compare `rows` with a plain
/// reading of every line.
namespace corvane::Baseline {

/// The row of one evidence-log line (without its line feed) when the line holds valid UTF-8,
/// a parsable time at or after `since` and an address; nothing otherwise.
std::optional<Row> rowOfLine(std::string_view line, double since);

} // namespace corvane::Baseline
