#include "cli/SharedOptions.h"

#include "platform/Platform.h"
#include "util/LocalTime.h"

#include <CLI/CLI.hpp>
#include <cstdio>

namespace corvane::cli {

CLI::Option* addDataOption(CLI::App* cmd, std::string& value) {
    return cmd->add_option("--data", value, "Data folder (default: the application's)");
}

std::filesystem::path dataFolderOf(const std::string& value) {
    return value.empty() ? platform::dataFolder() : std::filesystem::path(value);
}

std::filesystem::path existingDataFolder(const std::string& command, const std::string& value) {
    const std::filesystem::path folder = dataFolderOf(value);
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) {
        fail(command, folder.string(), "no such data folder");
    }
    return folder;
}

void fail(const std::string& command, std::string_view what, std::string_view why) {
    std::fprintf(stderr, "corvane %s: %.*s: %.*s\n", command.c_str(), static_cast<int>(what.size()),
                 what.data(), static_cast<int>(why.size()), why.data());
    throw CLI::RuntimeError(1);
}

void fail(const std::string& command, const util::Failure& failure) {
    fail(command, failure.what, failure.why);
}

void reportUsageErrorsOnOneLine(CLI::App& app) {
    app.failure_message([](const CLI::App* top, const CLI::Error& error) {
        std::string command = "corvane";
        for (const CLI::App* sub = top; sub != nullptr;) {
            const auto chosen = sub->get_subcommands();
            sub = chosen.empty() ? nullptr : chosen.front();
            if (sub != nullptr) {
                command += " " + sub->get_name();
            }
        }
        return command + ": " + error.what() + "\n";
    });
}

CLI::Validator timeValidator() {
    // The first second of the year 10000: later times have no four-digit year to be shown in.
    constexpr double kYear10000 = 253402300800;
    return CLI::Validator(
        [](std::string& text) -> std::string {
            double t = 0;
            if (!CLI::detail::lexical_cast(text, t) || !(t > 0 && t < kYear10000)) {
                return "must be a time in seconds since 1970, before the year 10000";
            }
            return {};
        },
        "EPOCH");
}

CLI::Option* addNowOption(CLI::App* cmd, std::optional<double>& value, const std::string& help) {
    return cmd->add_option("--now", value, help)->check(timeValidator());
}

double clockOf(const std::optional<double>& value) {
    return value.value_or(util::nowEpoch());
}

} // namespace corvane::cli
