#include "cli/Commands.h"

#include <CLI/CLI.hpp>

namespace corvane::cli {

void addMonitorCommand(CLI::App& app) {
    auto* cmd = app.add_subcommand("monitor", "Capture the system log into the evidence log");
    cmd->callback([] {});
}

} // namespace corvane::cli
