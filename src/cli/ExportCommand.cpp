#include "cli/Commands.h"
#include "cli/Progress.h"
#include "cli/SharedOptions.h"
#include "monitor/Operations.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace corvane::cli {

namespace {

struct ExportOptions {
    std::string data;
    std::string out;
};

} // namespace

void addExportCommand(CLI::App& app) {
    auto options = std::make_shared<ExportOptions>();
    auto* cmd =
        app.add_subcommand("export", "Archive the evidence log and the reports into a ZIP file");
    addDataOption(cmd, options->data);
    cmd->add_option("--out", options->out, "The archive to write (replaced when it exists)")
        ->required();
    cmd->callback([options] {
        std::optional<Progress> bar;
        const auto outcome =
            monitor::exportEvidence(existingDataFolder("export", options->data), options->out,
                                    [&bar](uint64_t done, uint64_t total) {
                                        if (!bar) {
                                            bar.emplace("export", total);
                                        }
                                        bar->update(done);
                                    });
        bar.reset();
        if (outcome.result != evidence::ExportResult::Exported) {
            fail("export", options->out, evidence::exportMessage(outcome));
        }
        std::printf("%s\n", options->out.c_str());
    });
}

} // namespace corvane::cli
