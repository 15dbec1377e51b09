#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// The Evidence Vault: a root-owned daemon that seals the evidence log into a folder the
/// user cannot alter. The application installs it, detects it and removes it; the daemon
/// and its installer are shell scripts shipped in resources/.
namespace corvane::vault {

/// The job's names (the folder, daemon and seal names are VaultLayout's); the launchd label and
/// property list are macOS's (Linux uses a systemd unit of the same name).
inline constexpr std::string_view kLabel = "com.velmora.corvanevault";
inline constexpr std::string_view kLaunchdPlist =
    "/Library/LaunchDaemons/com.velmora.corvanevault.plist";

/// $CORVANE_VAULT_PREFIX, or empty. Set only by tests, so that every fixed location of the
/// vault lands inside a temporary folder.
std::string locationPrefix();

/// The vault folder: the prefix followed by VaultLayout::kFolder.
std::filesystem::path vaultFolder();

/// True when the master seal file or the folder itself exists.
bool vaultInstalled(const std::filesystem::path& vaultFolder);

/// Runs the installer script with administrator rights (the system asks for the password).
/// Blocks until it has finished. Nothing when the installer ran to its end; otherwise why it
/// did not, in words for the owner (whether the vault is there shows in `vaultInstalled`).
std::optional<std::string> installVault(const std::filesystem::path& installerPath);

/// Removes the daemon, its job, the vault folder with the seals and the daemon's logs, with
/// administrator rights. Missing pieces are no error.
void removeVault();

// The privileged commands as values. Both systems' forms are built everywhere, so they can
// be checked on any machine; the platform layer picks the one it can run.

/// `text` as one literal word for a POSIX shell: in single quotes, each ' written as '\''.
std::string shellQuote(std::string_view text);

/// `text` as the inside of an AppleScript string literal ("\" and "\"" and control
/// characters escaped).
std::string appleScriptEscape(std::string_view text);

/// The shell command that runs the installer: bash and the quoted path, one argument whatever
/// the path holds (preceded by the location prefix as an environment assignment when set).
std::string installShellCommand(const std::filesystem::path& installerPath,
                                std::string_view prefix);

/// AppleScript "do shell script … with administrator privileges" around the install command.
std::string installAppleScript(const std::filesystem::path& installerPath, std::string_view prefix);

/// The fixed removal script for macOS; with a location prefix every path is prefixed.
std::string removalAppleScript(std::string_view prefix);

/// pkexec's argument vector for the installer (no shell in between). pkexec clears the
/// environment, so a location prefix travels through env(1) as an argument.
std::vector<std::string> installPkexecArgv(const std::filesystem::path& installerPath,
                                           std::string_view prefix);

/// pkexec's argument vector for the removal: a fixed shell script that receives the location
/// prefix as its one positional argument, never inside the script text.
std::vector<std::string> removalPkexecArgv(std::string_view prefix);

/// The fixed Linux removal script (run by `sh -c <script> sh <prefix>`).
std::string_view linuxRemovalScript();

} // namespace corvane::vault
