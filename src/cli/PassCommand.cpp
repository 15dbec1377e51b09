#include "cli/Commands.h"
#include "cli/Progress.h"
#include "cli/SharedOptions.h"
#include "sift/Analysis.h"
#include "sift/Dashboard.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace corvane::cli {

namespace {

struct PassOptions {
    std::string data;
    std::optional<double> now;
};

void runPassCommand(const PassOptions& options) {
    const std::filesystem::path dataFolder = existingDataFolder("pass", options.data);
    const double now = clockOf(options.now);

    std::optional<Progress> bar;
    const auto result = Sift::runAnalysis(dataFolder, now, [&bar](uint64_t done, uint64_t total) {
        if (!bar) {
            bar.emplace("pass", total);
        }
        bar->update(done);
    });
    bar.reset();
    if (result.failure) {
        fail("pass", *result.failure);
    }

    std::printf("%s: %llu lines, %llu bytes\n", Sift::outcomeText(result.outcome),
                static_cast<unsigned long long>(result.linesIngested),
                static_cast<unsigned long long>(result.bytesConsumed));
    std::printf("verdict: %s\n", Sift::readVerdict(dataFolder).value_or("—").c_str());
}

} // namespace

void addPassCommand(CLI::App& app) {
    auto options = std::make_shared<PassOptions>();
    auto* cmd = app.add_subcommand(
        "pass", "Run one analysis of the evidence log: owner baseline refresh, then one pass");
    addDataOption(cmd, options->data);
    addNowOption(cmd, options->now,
                 "The clock for the whole analysis, in seconds since 1970 (default: now)");
    cmd->callback([options] { runPassCommand(*options); });
}

} // namespace corvane::cli
