#include "vault/Vault.h"

#include "ShellCommand.h"
#include "TempDir.h"
#include "TestConfig.h"
#include "capture/DataFolder.h"

#include <cstdlib>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>

using namespace corvane::vault;
using corvane::test::readText;
using corvane::test::runShell;
using corvane::test::TempDir;
using corvane::test::writeText;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

const std::string kResources = std::string(CORVANE_SOURCE_DIR) + "/resources";

/// A file name that a careless quoting would split, expand or execute.
const std::string kHostileName = "in\"st\\all $(touch pwned) `touch pwned2` $HOME 'q'.sh";

/// The inside of `do shell script "…" with administrator privileges`, decoded the way
/// AppleScript reads a string literal.
std::string shellCommandOf(const std::string& appleScript) {
    const std::string head = "do shell script \"";
    const std::string tail = "\" with administrator privileges";
    EXPECT_EQ(appleScript.substr(0, head.size()), head);
    EXPECT_EQ(appleScript.substr(appleScript.size() - tail.size()), tail);
    const std::string literal =
        appleScript.substr(head.size(), appleScript.size() - head.size() - tail.size());
    std::string out;
    for (size_t i = 0; i < literal.size(); ++i) {
        if (literal[i] != '\\') {
            EXPECT_NE(literal[i], '"') << "an unescaped quote ends the literal early";
            out += literal[i];
            continue;
        }
        const char next = literal.at(++i);
        out += next == 'n' ? '\n' : next == 't' ? '\t' : next == 'r' ? '\r' : next;
    }
    return out;
}

} // namespace

TEST(Vault, InstalledWhenTheFolderOrTheMasterSealExists) {
    TempDir dir;
    EXPECT_FALSE(vaultInstalled(dir / "vault"));
    fs::create_directories(dir / "vault");
    EXPECT_TRUE(vaultInstalled(dir / "vault")) << "the folder alone counts";
    writeText(dir / "vault" / corvane::VaultLayout::kMasterFile, "");
    EXPECT_TRUE(vaultInstalled(dir / "vault"));
}

TEST(Vault, EveryLocationHonoursThePrefix) {
    ::setenv("CORVANE_VAULT_PREFIX", "/tmp/p q", 1);
    EXPECT_EQ(vaultFolder(), "/tmp/p q/var/corvane_vault");
    ::unsetenv("CORVANE_VAULT_PREFIX");
    EXPECT_EQ(vaultFolder(), "/var/corvane_vault");
}
TEST(VaultCommands, PlainPathsKeepTheUsualForm) {
    const fs::path installer =
        "/Applications/Corvane Monitor.app/Contents/Resources/install_vault_daemon.sh";
    EXPECT_EQ(installAppleScript(installer, ""),
              "do shell script \"bash '/Applications/Corvane Monitor.app/Contents/Resources/"
              "install_vault_daemon.sh'\" with administrator privileges");
    EXPECT_EQ(removalAppleScript(""),
              "do shell script \"launchctl bootout system/com.velmora.corvanevault 2>/dev/null; "
              "launchctl unload /Library/LaunchDaemons/com.velmora.corvanevault.plist 2>/dev/null; "
              "rm -f /Library/LaunchDaemons/com.velmora.corvanevault.plist "
              "/usr/local/bin/corvane_vault_daemon.sh; rm -rf /var/corvane_vault "
              "/var/log/corvane_vault.log /var/log/corvane_vault_error.log\" with administrator "
              "privileges");
    EXPECT_EQ(installPkexecArgv(installer, ""),
              (std::vector<std::string>{"pkexec", "/bin/bash", "--", installer.string()}));
}

TEST(VaultCommands, HostileInstallerPathReachesBashAsOneLiteralArgument) {
    TempDir dir;
    const fs::path installer = dir / kHostileName;
    // The harmless installer records the arguments bash gave it.
    writeText(installer, "printf '%s|%s' \"$0\" \"$#\" > \"$(dirname \"$0\")/ran\"\n");

    const std::string appleScript = installAppleScript(installer, "");
    EXPECT_THAT(appleScript, HasSubstr("in\\\"st\\\\all")) << "quote and backslash escaped";
    const std::string command = shellCommandOf(appleScript);
    EXPECT_EQ(command, installShellCommand(installer, ""));

    const auto run =
        runShell("cd " + shellQuote(dir.path().string()) + " && bash -c " + shellQuote(command));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(readText(dir / "ran"), installer.string() + "|0");
    EXPECT_FALSE(fs::exists(dir / "pwned"));
    EXPECT_FALSE(fs::exists(dir / "pwned2"));

    // pkexec receives the path as one element of the argument vector, untouched.
    const auto argv = installPkexecArgv(installer, "");
    EXPECT_EQ(argv.back(), installer.string());
    EXPECT_EQ(argv.size(), 4u);
}

TEST(VaultCommands, ThePrefixTravelsAsDataNeverAsScript) {
    const std::string prefix = "/tmp/a'b $(x)";
    EXPECT_EQ(installPkexecArgv("/r/i.sh", prefix)[2], "CORVANE_VAULT_PREFIX=" + prefix);
    EXPECT_EQ(removalPkexecArgv(prefix),
              (std::vector<std::string>{"pkexec", "/bin/sh", "-c",
                                        std::string(linuxRemovalScript()), "sh", prefix}));
    EXPECT_THAT(shellCommandOf(removalAppleScript(prefix)), ::testing::Not(HasSubstr("launchctl")));
}

// The installer and the removal, run for real inside a temporary prefix (nothing is
// registered with the service manager there).
TEST(VaultScripts, InstallThenRemoveInsideAPrefix) {
    TempDir dir;
    const fs::path prefix = dir / "root $x";
    const fs::path outside = prefix / "var" / "keep.txt";
    writeText(outside, "not the vault's");
    const std::string env = "CORVANE_VAULT_PREFIX=" + shellQuote(prefix.string()) +
                            " PKEXEC_UID=" + std::to_string(::getuid());
    const auto install =
        runShell(env + " bash " + shellQuote(kResources + "/install_vault_daemon.sh"));
    ASSERT_EQ(install.status, 0) << install.output;

    const fs::path vault = prefix / "var/corvane_vault";
    EXPECT_TRUE(vaultInstalled(vault));
    EXPECT_EQ(readText(prefix / "usr/local/bin/corvane_vault_daemon.sh"),
              readText(kResources + "/corvane_vault_daemon.sh"));
    struct stat st {};
    ASSERT_EQ(::stat((prefix / "usr/local/bin/corvane_vault_daemon.sh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    ASSERT_EQ(::stat(vault.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u); // root and the served user's group only
    const std::string unit =
        readText(prefix / "etc/systemd/system/com.velmora.corvanevault.service");
    // systemd would expand a single "$" in a command line.
    std::string daemonWord = (prefix / "usr/local/bin/corvane_vault_daemon.sh").string();
    daemonWord.replace(daemonWord.find('$'), 1, "$$");
    EXPECT_THAT(unit, HasSubstr("\nExecStart=/bin/bash \"" + daemonWord + "\" \""));
    EXPECT_THAT(unit, HasSubstr("/.local/share/CV/CV_personal.log\" \"" +
                                std::to_string(::getuid()) + "\"\n"));
    EXPECT_THAT(unit, HasSubstr("\nReadWritePaths=\"" + vault.string() + "\"\n"));

    // The service manager accepts the unit as it stands, and its confinement rates well.
    const std::string unitPath =
        shellQuote((prefix / "etc/systemd/system/com.velmora.corvanevault.service").string());
    const auto verify = runShell("systemd-analyze verify " + unitPath);
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_EQ(verify.output, "") << "verify reports nothing";
    const auto security = runShell("systemd-analyze security --offline=true " + unitPath);
    const std::smatch level = [&] {
        std::smatch m;
        std::regex_search(security.output, m,
                          std::regex(R"(Overall exposure level for \S+: ([0-9.]+))"));
        return m;
    }();
    ASSERT_EQ(level.size(), 2u) << security.output;
    EXPECT_LE(std::stod(level[1]), 3.0) << security.output;

    const auto removal = runShell("sh -c " + shellQuote(std::string(linuxRemovalScript())) +
                                  " sh " + shellQuote(prefix.string()));
    ASSERT_EQ(removal.status, 0) << removal.output;
    EXPECT_FALSE(vaultInstalled(vault));
    for (const char* gone : {"usr/local/bin/corvane_vault_daemon.sh", "var/log/corvane_vault.log",
                             "var/log/corvane_vault_error.log",
                             "etc/systemd/system/com.velmora.corvanevault.service"}) {
        EXPECT_FALSE(fs::exists(prefix / gone)) << gone;
    }
    EXPECT_EQ(readText(outside), "not the vault's");
    // Removing again (a partly installed vault) completes quietly.
    EXPECT_EQ(runShell("sh -c " + shellQuote(std::string(linuxRemovalScript())) + " sh " +
                       shellQuote(prefix.string()))
                  .status,
              0);
}
