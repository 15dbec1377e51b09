#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace CLI {
class App;
class Option;
} // namespace CLI

/// The --data and --now options that most commands share.
namespace corvane::cli {

/// Adds "--data DIR" bound to `value`.
CLI::Option* addDataOption(CLI::App* cmd, std::string& value);

/// The folder --data named, or the platform's data folder when none was given.
std::filesystem::path dataFolderOf(const std::string& value);

/// Adds "--now EPOCH" bound to `value`; anything but a time in seconds since 1970 is a usage
/// error, so no later arithmetic on the clock meets NaN or an out-of-range value.
CLI::Option* addNowOption(CLI::App* cmd, std::optional<double>& value, const std::string& help);

/// The time --now gave, or the current time.
double clockOf(const std::optional<double>& value);

} // namespace corvane::cli
