#include "capture/DataFolder.h"
#include "cli/Commands.h"
#include "cli/SharedOptions.h"
#include "monitor/Operations.h"
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
    std::optional<double> now;
};

void runReportCommand(const ReportOptions& options) {
    const auto path = monitor::report(existingDataFolder("report", options.data), options.day,
                                      options.vault.empty() ? vault::vaultFolder()
                                                            : std::filesystem::path(options.vault),
                                      static_cast<int64_t>(std::floor(clockOf(options.now))));
    if (!path) {
        fail("report", path.failure());
    }
    std::printf("%s\n", path->c_str());
}

} // namespace

void addReportCommand(CLI::App& app) {
    auto options = std::make_shared<ReportOptions>();
    auto* cmd = app.add_subcommand(
        "report", "Write the evidence report of one day file and print its path (exit 1: none)");
    addDataOption(cmd, options->data);
    cmd->add_option("--day", options->day,
                    "Day name, one that " + DataFolder::inSift(DataFolder::kDaysFile) +
                        " lists (default: the last one)");
    cmd->add_option("--vault", options->vault,
                    "Vault folder with the seal files (default: the installed vault's)");
    addNowOption(cmd, options->now, "Generation time, seconds since 1970 (default: now)");
    cmd->callback([options] { runReportCommand(*options); });
}

} // namespace corvane::cli
