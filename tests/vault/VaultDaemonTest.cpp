#include "ShellCommand.h"
#include "TempDir.h"
#include "TestConfig.h"
#include "capture/DataFolder.h"
#include "vault/Vault.h"

#include <fstream>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

using corvane::test::readText;
using corvane::test::runShell;
using corvane::test::ShellResult;
using corvane::test::TempDir;
using corvane::test::writeText;
using corvane::vault::shellQuote;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

/// The vault daemon and `corvane verify`, both run for real inside a temporary prefix.
class VaultDaemon : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "the vault daemon runs as root";
        }
        writeText(log_, "2026-10-18 09:14:02 | — CV-APP capture started\n");
    }

    ShellResult sealOnce(const std::string& uid = "") const {
        return runShell(
            "CORVANE_VAULT_PREFIX=" + shellQuote(prefix_.string()) + " bash " +
            shellQuote(std::string(CORVANE_SOURCE_DIR) + "/resources/corvane_vault_daemon.sh") +
            " --once " + shellQuote(log_.string()) + " " + uid);
    }

    ShellResult verify(const fs::path& log) const {
        return runShell(shellQuote(std::string(CORVANE_BIN_DIR) + "/corvane") + " verify --log " +
                        shellQuote(log.string()) + " --vault " + shellQuote(vault_.string()));
    }

    static std::vector<std::string> lines(const fs::path& file) {
        std::vector<std::string> out;
        std::ifstream in(file);
        for (std::string line; std::getline(in, line);) {
            out.push_back(line);
        }
        return out;
    }

    TempDir dir_;
    fs::path prefix_ = dir_ / "root prefix";
    fs::path vault_ = prefix_ / "var/corvane_vault";
    fs::path seals_ = vault_ / corvane::VaultLayout::kSealFile;
    fs::path master_ = vault_ / corvane::VaultLayout::kMasterFile;
    fs::path log_ = dir_ / "home" / "CV_personal.log";
};

} // namespace

TEST_F(VaultDaemon, SealsChangesOnlyChainsThemAndRepairsAnInterruptedRound) {
    ASSERT_EQ(sealOnce().status, 0);
    ASSERT_EQ(lines(seals_).size(), 1u);
    const std::regex sealForm(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ bytes=49 sha256=[0-9a-f]{64})");
    EXPECT_TRUE(std::regex_match(lines(seals_)[0], sealForm)) << lines(seals_)[0];
    ASSERT_EQ(sealOnce().status, 0);
    EXPECT_EQ(lines(seals_).size(), 1u) << "an unchanged log is not sealed again";

    std::ofstream(log_, std::ios::app) << "2026-10-18 09:14:05 | second line\n";
    ASSERT_EQ(sealOnce().status, 0);
    EXPECT_EQ(lines(seals_).size(), 2u);
    const auto masters = lines(master_);
    EXPECT_EQ(masters.size(), 2u);
    const auto ok = verify(log_);
    EXPECT_EQ(ok.status, 0);
    EXPECT_THAT(ok.output, HasSubstr("OK: 2 seals verified, last at "));

    // Root-owned, readable by the served user's group alone, writable by nobody else.
    struct stat st {};
    for (const fs::path& p : {vault_, seals_, master_}) {
        ASSERT_EQ(::stat(p.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_mode & 0777, fs::is_directory(p) ? 0750u : 0640u) << p;
    }

    // A round cut off between its two appends: the next round chains the orphan seal.
    writeText(master_, masters[0] + "\n");
    ASSERT_EQ(sealOnce().status, 0);
    EXPECT_EQ(lines(master_), masters);
}

TEST_F(VaultDaemon, VerifyRejectsTamperedEvidence) {
    ASSERT_EQ(sealOnce().status, 0);
    std::ofstream(log_, std::ios::app) << "2026-10-18 09:14:05 | second line\n";
    ASSERT_EQ(sealOnce().status, 0);
    ASSERT_EQ(verify(log_).status, 0);
    const std::string original = readText(log_);
    const std::string seals = readText(seals_);
    const std::string masters = readText(master_);

    std::string flipped = original;
    flipped[30] ^= 0x20;
    writeText(dir_ / "flipped.log", flipped);
    auto result = verify(dir_ / "flipped.log");
    EXPECT_EQ(result.status, 1);
    EXPECT_THAT(result.output, HasSubstr("FAIL: seal 1 of 2"));

    writeText(dir_ / "short.log", original.substr(0, original.size() - 1));
    result = verify(dir_ / "short.log");
    EXPECT_EQ(result.status, 1);
    EXPECT_THAT(result.output, HasSubstr("FAIL: seal 2 of 2"));

    std::string edited = seals;
    edited[edited.find("bytes=") - 3] ^= 1; // a digit of the first seal's time
    writeText(seals_, edited);
    EXPECT_EQ(verify(log_).status, 1);
    writeText(seals_, seals);

    writeText(master_, masters.substr(0, masters.find('\n') + 1));
    result = verify(log_);
    EXPECT_EQ(result.status, 1);
    EXPECT_THAT(result.output, HasSubstr("master seal line 2 is missing"));
}

TEST_F(VaultDaemon, SealsOnlyARegularFileOfTheUserItServes) {
    // The served user is the owner of the log's folder, or the one named after the log.
    constexpr uid_t kUser = 65534; // nobody, a user of its own group
    ASSERT_EQ(::chown(log_.parent_path().c_str(), kUser, kUser), 0);
    writeText(dir_ / "secret", "not the user's to seal");
    const std::vector<std::pair<std::string, std::function<void()>>> planted = {
        {"a link to another's file", [&] { fs::create_symlink(dir_ / "secret", log_); }},
        {"a hard link to another's file", [&] { fs::create_hard_link(dir_ / "secret", log_); }},
        {"a file of another user", [&] { writeText(log_, "root's\n"); }},
        {"a pipe", [&] { ASSERT_EQ(::mkfifo(log_.c_str(), 0644), 0); }},
        {"a folder", [&] { fs::create_directory(log_); }},
    };
    for (const auto& [what, plant] : planted) {
        fs::remove(log_);
        plant();
        ASSERT_EQ(sealOnce().status, 0) << what;
        EXPECT_TRUE(lines(seals_).empty()) << what;
    }
    fs::remove(log_);
    writeText(log_, "the user's\n");
    ASSERT_EQ(::chown(log_.c_str(), kUser, kUser), 0);
    ASSERT_EQ(sealOnce().status, 0);
    EXPECT_EQ(lines(seals_).size(), 1u);
    struct stat st {};
    ASSERT_EQ(::stat(seals_.c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, kUser) << "readable by the served user's group";
    // Served explicitly, another user's log is not sealed.
    std::ofstream(log_, std::ios::app) << "more\n";
    ASSERT_EQ(sealOnce("1234").status, 0);
    EXPECT_EQ(lines(seals_).size(), 1u);
}
