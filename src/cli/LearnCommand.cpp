#include "cli/Commands.h"
#include "cli/SharedOptions.h"
#include "monitor/Operations.h"
#include "util/LocalTime.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace corvane::cli {
namespace {

struct LearnOptions {
    std::string data;
    double since = 0;
    std::optional<double> now;
};

/// The setup assistant's learning step: the phone seen near the Mac since the procedure
/// began becomes the owner's, with every device that announced the owner's account.
void runLearn(const LearnOptions& options) {
    const auto learned = monitor::learnOwner(existingDataFolder("learn", options.data),
                                             options.since, clockOf(options.now));
    if (learned.failure) {
        fail("learn", *learned.failure);
    }
    if (!learned.bleMac) {
        fail("learn", "No phone found near this Mac",
             "none advertised near it since " +
                 util::formatLocalDateTime(static_cast<int64_t>(options.since)));
    }
    std::printf("%s\n", learned.bleMac->c_str());
    if (learned.phoneTail) {
        std::printf("phone: %s\n", learned.phoneTail->c_str());
    }
    for (const auto& tail : learned.devices) {
        std::printf("device: %s\n", tail.c_str());
    }
}

} // namespace

void addLearnCommand(CLI::App& app) {
    auto options = std::make_shared<LearnOptions>();
    auto* cmd = app.add_subcommand(
        "learn", "Learn the owner's phone from the evidence log and start the baseline file; "
                 "prints its Bluetooth address, or exits 1 when none was seen");
    addDataOption(cmd, options->data);
    cmd->add_option("--since", options->since,
                    "When the owner began the procedure with the phone, in seconds since 1970")
        ->required()
        ->check(timeValidator());
    addNowOption(cmd, options->now,
                 "Accepted for symmetry with the other commands; every line since --since "
                 "counts");
    cmd->callback([options] { runLearn(*options); });
}

} // namespace corvane::cli
