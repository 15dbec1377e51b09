#pragma once

namespace CLI {
class App;
}

/// Each subcommand of the `corvane` tool lives in its own file and registers itself here.
namespace corvane::cli {

void addMonitorCommand(CLI::App& app);
void addReportCommand(CLI::App& app);
void addDigestCommand(CLI::App& app);
void addExportCommand(CLI::App& app);
void addVerifyCommand(CLI::App& app);
void addVaultCommand(CLI::App& app);
void addPassCommand(CLI::App& app);
void addLearnCommand(CLI::App& app);
void addBaselineCommand(CLI::App& app);
void addExplainCommand(CLI::App& app);
void addFindingsCommand(CLI::App& app);
void addTrustCommand(CLI::App& app);

} // namespace corvane::cli
