#include "cli/Commands.h"
#include "cli/SharedOptions.h"
#include "evidence/Export.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
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
        const auto outcome =
            evidence::exportEvidence(existingDataFolder("export", options->data), options->out);
        if (outcome.result != evidence::ExportResult::Exported) {
            fail("export", options->out, evidence::exportMessage(outcome));
        }
        std::printf("%s\n", options->out.c_str());
    });
}

} // namespace corvane::cli
