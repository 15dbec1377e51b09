#include "capture/DataFolder.h"
#include "cli/Commands.h"
#include "cli/SharedOptions.h"
#include "platform/Platform.h"
#include "vault/Vault.h"

#include <CLI/CLI.hpp>
#include <cstdio>

namespace corvane::cli {

void addVaultCommand(CLI::App& app) {
    auto* cmd = app.add_subcommand("vault", "Install, detect or remove the Evidence Vault");
    cmd->require_subcommand(1);
    cmd->add_subcommand("status", "Print \"installed\" or \"not installed\"")->callback([] {
        std::printf("%s\n",
                    vault::vaultInstalled(vault::vaultFolder()) ? "installed" : "not installed");
    });
    cmd->add_subcommand("install", "Install the vault (asks for administrator rights)")
        ->callback([] {
            const auto problem =
                vault::installVault(platform::resourcesDir() / VaultLayout::kInstaller);
            if (problem || !vault::vaultInstalled(vault::vaultFolder())) {
                fail("vault install", "not installed",
                     problem.value_or("the installer ran but the vault folder is missing"));
            }
            std::printf("installed\n");
        });
    cmd->add_subcommand("remove", "Remove the vault and its seals (asks for administrator rights)")
        ->callback([] {
            if (vault::vaultInstalled(vault::vaultFolder())) {
                vault::removeVault();
            }
            if (vault::vaultInstalled(vault::vaultFolder())) {
                fail("vault remove", "still installed",
                     "the removal failed or the administrator prompt was cancelled");
            }
            std::printf("not installed\n");
        });
}

} // namespace corvane::cli
