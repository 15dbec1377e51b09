#include "baseline/Baseline.h"
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

struct TrustOptions {
    std::string data;
    std::string tail;
    std::optional<double> now;
};

/// The owner confirms a device as theirs; the next pass no longer lists it.
void runTrust(const TrustOptions& options) {
    const std::filesystem::path dataFolder = existingDataFolder("trust", options.data);
    if (const auto failure = monitor::trustDevice(dataFolder, options.tail, clockOf(options.now))) {
        fail("trust", *failure);
    }
    std::printf("%s confirmed\n", Baseline::normalTail(options.tail)->c_str());
}

} // namespace

void addTrustCommand(CLI::App& app) {
    auto options = std::make_shared<TrustOptions>();
    auto* cmd = app.add_subcommand(
        "trust", "Confirm a device on the owner's account as one of the owner's own: it joins "
                 "the known devices in the baseline file and stops raising the alarm");
    addDataOption(cmd, options->data);
    cmd->add_option("--tail", options->tail, "The device tail (12 hexadecimal digits)")
        ->required();
    addNowOption(cmd, options->now, "When the owner confirmed it, in seconds since 1970 "
                                    "(default: now)");
    cmd->callback([options] { runTrust(*options); });
}

} // namespace corvane::cli
