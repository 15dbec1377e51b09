#include "cli/Commands.h"
#include "cli/SharedOptions.h"

#include <CLI/CLI.hpp>

int main(int argc, char** argv) {
    CLI::App app{"Corvane Monitor: evidence capture and analysis of Continuity connections",
                 "corvane"};
    app.require_subcommand(1);
    corvane::cli::reportUsageErrorsOnOneLine(app);
    corvane::cli::addMonitorCommand(app);
    corvane::cli::addReportCommand(app);
    corvane::cli::addDigestCommand(app);
    corvane::cli::addExportCommand(app);
    corvane::cli::addVerifyCommand(app);
    corvane::cli::addVaultCommand(app);
    corvane::cli::addPassCommand(app);
    corvane::cli::addLearnCommand(app);
    corvane::cli::addBaselineCommand(app);
    corvane::cli::addExplainCommand(app);
    corvane::cli::addFindingsCommand(app);
    corvane::cli::addTrustCommand(app);
    CLI11_PARSE(app, argc, argv);
    return 0;
}
