#include "evidence/Seals.h"

#include "ShellCommand.h"
#include "TempDir.h"
#include "capture/DataFolder.h"
#include "evidence/Sha256.h"
#include "vault/Vault.h"

#include <gtest/gtest.h>
#include <random>

using namespace corvane::evidence;
using corvane::test::TempDir;
using corvane::test::writeText;
namespace fs = std::filesystem;

TEST(LastSealLine, LastNonEmptyLineAsWritten) {
    TempDir dir;
    const auto line = [&](const std::string& content) {
        writeText(dir / corvane::VaultLayout::kSealFile, content);
        return lastSealLine(dir.path(), "CV_personal.sha256");
    };
    EXPECT_EQ(line("a\nb\n"), "b");
    EXPECT_EQ(line("a\nb\n\n\n"), "b");
    EXPECT_EQ(line("a\nb"), "b");
    EXPECT_EQ(line("only"), "only");
    EXPECT_EQ(line("a\r\nb\r\n"), "b\r") << "a carriage return stays";
    EXPECT_EQ(line("  padded  \n"), "  padded  ");
    EXPECT_FALSE(line("\n\n\n"));
    EXPECT_FALSE(line(""));
    EXPECT_FALSE(line("good\nbad \xFF\n")) << "not UTF-8";
    EXPECT_FALSE(lastSealLine(dir.path(), "MASTER_SEAL.sha256")) << "missing";
    fs::create_directories(dir / "folder");
    EXPECT_FALSE(lastSealLine(dir.path(), "folder"));
}

TEST(LogDigest, AnyFileEqualsSha256sumAndOnlyAFileHasADigest) {
    TempDir dir;
    // Several blocks and an odd tail, so block edges are crossed in the middle of SHA-256's
    // 64-byte chunks.
    std::string bytes(3 * 1024 * 1024 + 77, '\0');
    std::mt19937 random(7);
    for (auto& b : bytes) {
        b = static_cast<char>(random());
    }
    writeText(dir / "big log", bytes);
    uint64_t lastProgress = 0;
    const auto digest = logDigest(dir / "big log", [&](uint64_t done) { lastProgress = done; });
    const auto expected = corvane::test::runShell(
        "sha256sum < " + corvane::vault::shellQuote((dir / "big log").string()));
    ASSERT_EQ(expected.status, 0);
    ASSERT_TRUE(digest);
    EXPECT_EQ(*digest, expected.output.substr(0, 64));
    EXPECT_EQ(lastProgress, bytes.size());
    EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    writeText(dir / "empty log", "");
    EXPECT_EQ(logDigest(dir / "empty log"),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_FALSE(logDigest(dir / "missing"));
    EXPECT_FALSE(logDigest(dir.path())) << "a folder is no log";
}
