#include "cli/Commands.h"
#include "cli/SharedOptions.h"
#include "evidence/Findings.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>

namespace corvane::cli {

namespace {

struct ExplainOptions {
    std::string data;
    evidence::FindingSelector selector;
};

void runExplain(const ExplainOptions& options) {
    const auto folder = existingDataFolder("explain", options.data);
    const auto findings = evidence::explainFindings(folder, options.selector);
    if (!findings) {
        fail("explain", findings.failure());
    }
    for (const auto& finding : *findings) {
        std::printf("row %llu: %s\n", static_cast<unsigned long long>(finding.row),
                    evidence::printable(finding.title).c_str());
        for (const auto& line : finding.lines) {
            std::printf("%llu: %s\n", static_cast<unsigned long long>(line.line),
                        evidence::printable(line.text).c_str());
        }
    }
}

} // namespace

void addExplainCommand(CLI::App& app) {
    auto options = std::make_shared<ExplainOptions>();
    auto* cmd = app.add_subcommand(
        "explain", "Print the evidence-log lines behind a finding of the last pass, each after its "
                   "line number, read from the log itself");
    addDataOption(cmd, options->data);
    // Exactly one of the three names the findings.
    auto* which = cmd->add_option_group("finding", "Which finding");
    which->add_option("--mac", options->selector.mac, "The findings of an address");
    which->add_option("--account", options->selector.account, "The findings of an account");
    which->add_option("--row", options->selector.row,
                      "One finding, by its row number in sift/evidence.json")
        ->check(CLI::PositiveNumber);
    which->require_option(1);
    cmd->callback([options] { runExplain(*options); });
}

} // namespace corvane::cli
