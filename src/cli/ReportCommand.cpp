#include "cli/Commands.h"
#include "evidence/Report.h"
#include "platform/Platform.h"
#include "util/LocalTime.h"
#include "vault/Vault.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace corvane::cli {

namespace {

struct ReportOptions {
    std::string data;
    std::optional<std::string> day;
    std::string vault;
    std::optional<int64_t> now;
};

void runReportCommand(const ReportOptions& options) {
    const auto path = evidence::makeReport(
        options.data.empty() ? platform::dataFolder() : std::filesystem::path(options.data),
        options.day,
        options.vault.empty() ? vault::vaultFolder() : std::filesystem::path(options.vault),
        options.now.value_or(static_cast<int64_t>(std::floor(util::nowEpoch()))));
    if (!path) {
        throw CLI::RuntimeError(1);
    }
    std::printf("%s\n", path->c_str());
}

} // namespace

void addReportCommand(CLI::App& app) {
    auto options = std::make_shared<ReportOptions>();
    auto* cmd = app.add_subcommand(
        "report", "Write the evidence report of one day file and print its path (exit 1: none)");
    cmd->add_option("--data", options->data, "Data folder (default: the application's)");
    cmd->add_option("--day", options->day, "Day name (default: the last one in sift/days.json)");
    cmd->add_option("--vault", options->vault,
                    "Vault folder with the seal files (default: the installed vault's)");
    cmd->add_option("--now", options->now, "Generation time, seconds since 1970 (default: now)");
    cmd->callback([options] { runReportCommand(*options); });
}

} // namespace corvane::cli
