#include "evidence/Verify.h"

#include "TempDir.h"
#include "capture/DataFolder.h"
#include "evidence/Sha256.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <vector>

using namespace corvane::evidence;
using corvane::test::TempDir;
using corvane::test::writeText;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

/// A log and seal files written the way the vault daemon writes them; the lines stay
/// editable so that tests can tamper with them.
struct SealedLog {
    explicit SealedLog(const TempDir& dir)
        : log(corvane::DataFolder(dir).evidenceLog()), vault(dir / "vault") {
        fs::create_directories(vault);
    }

    void seal(uint64_t length, int minute) {
        const std::string time = "2026-10-18T20:" + std::to_string(10 + minute) + ":00Z";
        const std::string line = time + " bytes=" + std::to_string(length) +
                                 " sha256=" + sha256Hex(content.substr(0, length));
        masters.push_back(
            time + " chain=" + sha256Hex((masters.empty() ? "" : masters.back()) + "\n" + line));
        seals.push_back(line);
    }

    VerifyOutcome verify(const std::string& logContent) const {
        writeText(log, logContent);
        std::string s, m;
        for (const auto& line : seals) {
            s += line + "\n";
        }
        for (const auto& line : masters) {
            m += line + "\n";
        }
        writeText(vault / corvane::VaultLayout::kSealFile, s);
        writeText(vault / corvane::VaultLayout::kMasterFile, m);
        return verifySeals(log, vault);
    }
    VerifyOutcome verify() const { return verify(content); }

    fs::path log;
    fs::path vault;
    std::string content;
    std::vector<std::string> seals;
    std::vector<std::string> masters;
};

std::string logOf(size_t bytes) {
    std::string s;
    while (s.size() < bytes) {
        s += "2026-10-18 09:14:02 | line " + std::to_string(s.size()) + "\n";
    }
    s.resize(bytes);
    return s;
}

} // namespace

TEST(Verify, AcceptsEverySealOfAGrowingLogInOnePass) {
    TempDir dir;
    SealedLog sealed(dir);
    sealed.content = logOf(700000); // several read blocks
    // Out of length order (a replaced log), equal lengths, the empty prefix, a length inside
    // a read block, and the whole log.
    for (const uint64_t length : {100u, 0u, 300001u, 100u, 700000u, 50u}) {
        sealed.seal(length, static_cast<int>(sealed.seals.size()));
    }
    auto outcome = sealed.verify();
    EXPECT_TRUE(outcome.ok) << outcome.message;
    EXPECT_EQ(outcome.message, "OK: 6 seals verified, last at 2026-10-18T20:15:00Z");

    std::vector<std::pair<uint64_t, uint64_t>> progress;
    verifySeals(sealed.log, sealed.vault,
                [&](uint64_t done, uint64_t total) { progress.emplace_back(done, total); });
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), std::make_pair(uint64_t{700000}, uint64_t{700000}));

    // Bytes appended after the last seal change nothing that was sealed.
    EXPECT_TRUE(sealed.verify(sealed.content + "later line\n").ok);
}

TEST(Verify, RejectsAnyChangeToTheSealedEvidence) {
    TempDir dir;
    SealedLog sealed(dir);
    sealed.content = logOf(4000);
    sealed.seal(1000, 1);
    sealed.seal(4000, 2);
    ASSERT_TRUE(sealed.verify().ok);

    std::string flipped = sealed.content;
    flipped[999] ^= 1;
    EXPECT_THAT(sealed.verify(flipped).message,
                HasSubstr("FAIL: seal 1 of 2 (2026-10-18T20:11:00Z): the log's first 1000 bytes "
                          "hash to "));
    EXPECT_EQ(sealed.verify(sealed.content.substr(0, 3999)).message,
              "FAIL: seal 2 of 2 (2026-10-18T20:12:00Z): it covers 4000 bytes, but the log holds "
              "only 3999");

    // An edited seal line whose length and hash still fit the log: the chain breaks.
    SealedLog edited = sealed;
    edited.seals[0].replace(0, 4, "2025");
    EXPECT_THAT(edited.verify().message,
                HasSubstr("FAIL: seal 1 of 2 (2025-10-18T20:11:00Z): master seal line 1 does not "
                          "chain"));

    SealedLog removed = sealed;
    removed.masters.erase(removed.masters.begin() + 1);
    EXPECT_THAT(removed.verify().message, HasSubstr("master seal line 2 is missing"));
    removed.masters = {sealed.masters[1]};
    EXPECT_THAT(removed.verify().message, HasSubstr("FAIL: seal 1 of 2"));

    SealedLog extra = sealed;
    extra.masters.push_back(extra.masters.back());
    EXPECT_EQ(extra.verify().message, "FAIL: master seal line 3 has no seal line to chain");
}

TEST(Verify, MalformedOrMissingSealFilesFail) {
    TempDir dir;
    SealedLog sealed(dir);
    sealed.content = logOf(100);
    writeText(sealed.log, sealed.content);
    EXPECT_THAT(verifySeals(sealed.log, sealed.vault).message, HasSubstr("FAIL: cannot read "));
    EXPECT_THAT(sealed.verify().message, HasSubstr("FAIL: no seals in "));

    sealed.seal(50, 1);
    for (const char* bad : {"2026-10-18T20:01:00Z bytes=50", "bytes=50 sha256=00",
                            "2026-10-18T20:01:00Z bytes=-5 sha256=", "", "x"}) {
        SealedLog broken = sealed;
        broken.seals.push_back(bad);
        EXPECT_EQ(broken.verify().message,
                  "FAIL: seal 2 of 2: line 2 of CV_personal.sha256 is not a seal line")
            << bad;
    }
    fs::remove(sealed.log);
    EXPECT_THAT(verifySeals(sealed.log, sealed.vault).message,
                HasSubstr("FAIL: cannot read the log "));
}
