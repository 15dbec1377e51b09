#include "vault/Vault.h"

#include "capture/DataFolder.h"
#include "platform/Platform.h"

#include <cstdlib>
#include <system_error>

namespace corvane::vault {
namespace fs = std::filesystem;

namespace {

// The removal is one fixed script; the location prefix arrives as $1 so that no outside text
// ever becomes shell source. Under a prefix (tests) the real service manager is left alone.
std::string makeLinuxRemovalScript() {
    const auto at = [](std::string_view path) { return "\"$p" + std::string(path) + "\""; };
    const std::string unit = std::string(kLabel) + ".service";
    return "p=\"$1\"\n"
           "if [ -z \"$p\" ]; then systemctl disable --now " +
           unit + " >/dev/null 2>&1; fi\nrm -f " + at("/etc/systemd/system/" + unit) + " " +
           at(VaultLayout::kDaemonScript) +
           "\nif [ -z \"$p\" ]; then systemctl daemon-reload >/dev/null 2>&1; fi\nrm -rf " +
           at(VaultLayout::kFolder) + " " + at(VaultLayout::kDaemonLog) + " " +
           at(VaultLayout::kDaemonErrorLog) + "\n";
}

std::string doShellScript(std::string_view command) {
    return "do shell script \"" + appleScriptEscape(command) + "\" with administrator privileges";
}

} // namespace

std::string locationPrefix() {
    const char* prefix = std::getenv("CORVANE_VAULT_PREFIX");
    return prefix ? prefix : "";
}

fs::path vaultFolder() {
    return fs::path(locationPrefix() + std::string(VaultLayout::kFolder));
}

bool vaultInstalled(const fs::path& folder) {
    std::error_code ec;
    return fs::exists(folder / VaultLayout::kMasterFile, ec) || fs::exists(folder, ec);
}

std::optional<std::string> installVault(const fs::path& installerPath) {
    std::error_code ec;
    if (!fs::is_regular_file(installerPath, ec)) {
        return "its installer is missing from the application (" + installerPath.string() + ")";
    }
    const std::string prefix = locationPrefix();
    const auto status = platform::runPrivileged(
        {installAppleScript(installerPath, prefix), installPkexecArgv(installerPath, prefix)});
    if (!status) {
        return "this system has no way to ask for administrator rights";
    }
    if (*status != 0) {
        return "administrator rights were not given, or the installer failed (status " +
               std::to_string(*status) + ")";
    }
    return std::nullopt;
}

void removeVault() {
    const std::string prefix = locationPrefix();
    platform::runPrivileged({removalAppleScript(prefix), removalPkexecArgv(prefix)});
}

std::string shellQuote(std::string_view text) {
    std::string out = "'";
    for (const char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    out += '\'';
    return out;
}

std::string appleScriptEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string installShellCommand(const fs::path& installerPath, std::string_view prefix) {
    std::string command;
    if (!prefix.empty()) {
        command = "CORVANE_VAULT_PREFIX=" + shellQuote(prefix) + " ";
    }
    return command + "bash " + shellQuote(installerPath.string());
}

std::string installAppleScript(const fs::path& installerPath, std::string_view prefix) {
    return doShellScript(installShellCommand(installerPath, prefix));
}

std::string removalAppleScript(std::string_view prefix) {
    const auto at = [&](std::string_view path) {
        return prefix.empty() ? std::string(path)
                              : shellQuote(std::string(prefix) + std::string(path));
    };
    std::string command;
    if (prefix.empty()) {
        command = "launchctl bootout system/" + std::string(kLabel) +
                  " 2>/dev/null; launchctl unload " + at(kLaunchdPlist) + " 2>/dev/null; ";
    }
    command += "rm -f " + at(kLaunchdPlist) + " " + at(VaultLayout::kDaemonScript) + "; rm -rf " +
               at(VaultLayout::kFolder) + " " + at(VaultLayout::kDaemonLog) + " " +
               at(VaultLayout::kDaemonErrorLog);
    return doShellScript(command);
}

std::vector<std::string> installPkexecArgv(const fs::path& installerPath, std::string_view prefix) {
    std::vector<std::string> argv{"pkexec"};
    if (!prefix.empty()) {
        argv.insert(argv.end(), {"/usr/bin/env", "CORVANE_VAULT_PREFIX=" + std::string(prefix)});
    }
    argv.insert(argv.end(), {"/bin/bash", "--", installerPath.string()});
    return argv;
}

std::vector<std::string> removalPkexecArgv(std::string_view prefix) {
    return {"pkexec", "/bin/sh",          "-c", std::string(linuxRemovalScript()),
            "sh",     std::string(prefix)};
}

std::string_view linuxRemovalScript() {
    static const std::string script = makeLinuxRemovalScript();
    return script;
}

} // namespace corvane::vault
