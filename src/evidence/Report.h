#pragma once

#include "util/Expected.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

/// The printable evidence report: one self-contained HTML page per day file of the dashboard
/// data, with the verdict, the foreign devices and accounts, and the integrity seal of the
/// evidence log. In demo mode (the demo marker in the data folder) the report is marked as
/// demonstration data on every page and carries no digest or seal of the evidence log.
namespace corvane::evidence {

/// Builds the report of one day file and writes it, replacing any earlier one, as
/// reports/CV-Report-<day>.html in the data folder. The day must be one that sift/days.json
/// lists; without a day name the last one listed is used. `vaultFolder` is where the vault's
/// seal files are looked for; `now` is the generation time. Returns the report's path, or
/// why no report was written (no usable day name, no day file, or the write failed).
util::Expected<std::filesystem::path> makeReport(const std::filesystem::path& dataFolder,
                                                 const std::optional<std::string>& day,
                                                 const std::filesystem::path& vaultFolder,
                                                 int64_t now);

/// Whether the file is a report of the demonstration data (its title says so), which the
/// evidence export leaves out.
bool isDemoReport(const std::filesystem::path& report);

/// Day names reach the report from the dashboard page and name files: only 1 to 64 letters,
/// digits, "-" and "_" are accepted, so no name can leave the sift/ and reports/ folders.
bool isValidDayName(std::string_view day);

/// "&", "<" and ">" as entities, in that order; quotes stay as they are (every inserted
/// text lands in element content, never in an attribute).
std::string escapeHtml(std::string_view text);

/// A file size for people, in decimal units as the macOS file style shows it: "Zero KB",
/// "1 byte", "999 bytes", then KB without decimals, MB with one, GB and larger with two
/// (trailing zeros dropped): "1 KB", "1.2 MB", "12.35 GB".
std::string formatByteCount(uint64_t bytes);

} // namespace corvane::evidence
