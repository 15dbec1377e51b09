#include "cli/Commands.h"
#include "cli/SharedOptions.h"
#include "monitor/Operations.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace corvane::cli {
namespace {

struct BaselineOptions {
    std::string data;
    std::optional<double> now;
};

void runBaseline(const BaselineOptions& options) {
    const auto refreshed =
        monitor::evaluateOwner(existingDataFolder("baseline", options.data), clockOf(options.now));
    if (refreshed.failure) {
        fail("baseline", *refreshed.failure);
    }
    std::printf("%s %s\n", refreshed.connMac.value_or("-").c_str(), refreshed.state.c_str());
}

} // namespace

void addBaselineCommand(CLI::App& app) {
    auto options = std::make_shared<BaselineOptions>();
    auto* cmd = app.add_subcommand(
        "baseline", "Re-evaluate the owner's connection addresses over the last 20 minutes; "
                    "prints the first address (or -) and the state word");
    addDataOption(cmd, options->data);
    addNowOption(cmd, options->now, "The clock, in seconds since 1970 (default: now)");
    cmd->callback([options] { runBaseline(*options); });
}

} // namespace corvane::cli
