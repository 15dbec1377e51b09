#include "capture/DataFolder.h"
#include "cli/Commands.h"
#include "cli/Progress.h"
#include "evidence/Verify.h"
#include "vault/Vault.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace corvane::cli {

namespace {

struct VerifyOptions {
    std::string log;
    std::string vault;
};

} // namespace

void addVerifyCommand(CLI::App& app) {
    auto options = std::make_shared<VerifyOptions>();
    auto* cmd = app.add_subcommand(
        "verify",
        "Check an evidence log against the vault's seals and master chain (exit 1: fail)");
    cmd->add_option("--log", options->log,
                    "The evidence log, e.g. an exported " + std::string(DataFolder::kEvidenceLog))
        ->required();
    cmd->add_option("--vault", options->vault,
                    "Folder holding CV_personal.sha256 and MASTER_SEAL.sha256 "
                    "(default: the installed vault's)");
    cmd->callback([options] {
        std::optional<Progress> bar;
        const auto outcome = evidence::verifySeals(
            options->log,
            options->vault.empty() ? vault::vaultFolder() : std::filesystem::path(options->vault),
            [&bar](uint64_t done, uint64_t total) {
                if (!bar) {
                    bar.emplace("verify", total);
                }
                bar->update(done);
            });
        bar.reset();
        std::printf("%s\n", outcome.message.c_str());
        if (!outcome.ok) {
            throw CLI::RuntimeError(1);
        }
    });
}

} // namespace corvane::cli
