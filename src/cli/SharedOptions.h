#pragma once

#include "util/Expected.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace CLI {
class App;
class Option;
class Validator;
} // namespace CLI

/// The --data and --now options that most commands share, and the one form of their errors.
namespace corvane::cli {

/// Prints "corvane <command>: <what>: <why>" on stderr and ends the command with status 1.
[[noreturn]] void fail(const std::string& command, std::string_view what, std::string_view why);
[[noreturn]] void fail(const std::string& command, const util::Failure& failure);

/// Usage errors (a bad option or value) in the same one-line form.
void reportUsageErrorsOnOneLine(CLI::App& app);

/// Adds "--data DIR" bound to `value`.
CLI::Option* addDataOption(CLI::App* cmd, std::string& value);

/// The folder --data named, or the platform's data folder when none was given.
std::filesystem::path dataFolderOf(const std::string& value);

/// The same, for commands that read the data folder: they fail when it does not exist rather
/// than create it.
std::filesystem::path existingDataFolder(const std::string& command, const std::string& value);

/// The check of a time option: seconds since 1970, after the epoch and before the year 10000.
CLI::Validator timeValidator();

/// Adds "--now EPOCH" bound to `value`; anything but a time in seconds since 1970 is a usage
/// error, so no later arithmetic on the clock meets NaN or an out-of-range value.
CLI::Option* addNowOption(CLI::App* cmd, std::optional<double>& value, const std::string& help);

/// The time --now gave, or the current time.
double clockOf(const std::optional<double>& value);

} // namespace corvane::cli
