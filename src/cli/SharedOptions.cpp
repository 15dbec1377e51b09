#include "cli/SharedOptions.h"

#include "platform/Platform.h"
#include "util/LocalTime.h"

#include <CLI/CLI.hpp>

namespace corvane::cli {

CLI::Option* addDataOption(CLI::App* cmd, std::string& value) {
    return cmd->add_option("--data", value, "Data folder (default: the application's)");
}

std::filesystem::path dataFolderOf(const std::string& value) {
    return value.empty() ? platform::dataFolder() : std::filesystem::path(value);
}

CLI::Option* addNowOption(CLI::App* cmd, std::optional<double>& value, const std::string& help) {
    const CLI::Validator isTime(
        [](std::string& text) -> std::string {
            double t = 0;
            if (!CLI::detail::lexical_cast(text, t) || !(t > 0 && t < 1e12)) {
                return "must be a time in seconds since 1970";
            }
            return {};
        },
        "EPOCH");
    return cmd->add_option("--now", value, help)->check(isTime);
}

double clockOf(const std::optional<double>& value) {
    return value.value_or(util::nowEpoch());
}

} // namespace corvane::cli
