#include "util/Files.h"

#include "TempDir.h"
#include "util/JsonFile.h"

#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/stat.h>

using namespace corvane::util;
using corvane::test::TempDir;

TEST(Files, AtomicWriteReplacesOrKeepsThePreviousFileAndLeavesNoTemporaryFile) {
    TempDir dir;
    const auto file = dir / "state.json";
    ASSERT_TRUE(writeFileAtomic(file, "first"));
    ASSERT_TRUE(writeFileAtomic(file, "second"));
    EXPECT_EQ(readFile(file), "second");
    EXPECT_EQ(fileSize(file), 6u);
    EXPECT_FALSE(readFile(dir / "absent"));
    EXPECT_FALSE(fileSize(dir / "absent"));
    EXPECT_FALSE(readFile(dir.path()));

    // A folder in place of the target: the rename fails, nothing is lost or left behind.
    std::filesystem::create_directories(dir / "taken" / "child");
    EXPECT_FALSE(writeFileAtomic(dir / "taken", "x"));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "taken" / "child"));
    EXPECT_FALSE(writeFileAtomic(dir / "missing-folder" / "f", "x"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
}

TEST(JsonFile, OnlyObjectsCountAsObjects) {
    TempDir dir;
    corvane::test::writeText(dir / "a.json", "{\"k\":1}");
    corvane::test::writeText(dir / "b.json", "[1]");
    corvane::test::writeText(dir / "c.json", "{\"k\":");
    EXPECT_TRUE(readJsonObject(dir / "a.json", 1 << 20));
    EXPECT_FALSE(readJsonObject(dir / "b.json", 1 << 20));
    EXPECT_TRUE(readJson(dir / "b.json", 1 << 20));
    EXPECT_FALSE(readJson(dir / "c.json", 1 << 20));
    EXPECT_EQ(dumpJson(nlohmann::json("bad \xFF"), -1), "\"bad \xEF\xBF\xBD\"");
}

TEST(JsonFile, TooDeepOrTooLargeFilesAndNonRegularFilesAreCorrupt) {
    TempDir dir;
    const std::string deepest = std::string(kMaxJsonDepth, '[') + std::string(kMaxJsonDepth, ']');
    corvane::test::writeText(dir / "64.json", deepest);
    corvane::test::writeText(dir / "65.json", "{\"k\":" + deepest + "}");
    corvane::test::writeText(dir / "deep.json",
                             std::string(100000, '[') + std::string(100000, ']'));
    // Brackets in strings, behind escaped quotes too, do not nest.
    corvane::test::writeText(dir / "strings.json", "{\"k\":\"" + std::string(100, '[') + "\\\"" +
                                                       std::string(100, '{') + "\",\"\\\\\":[]}");
    EXPECT_TRUE(readJson(dir / "64.json", 1 << 20));
    EXPECT_FALSE(readJson(dir / "65.json", 1 << 20));
    EXPECT_FALSE(readJson(dir / "deep.json", 1 << 20));
    EXPECT_TRUE(readJsonObject(dir / "strings.json", 1 << 20));
    EXPECT_TRUE(readJson(dir / "64.json", deepest.size()));
    EXPECT_FALSE(readJson(dir / "64.json", deepest.size() - 1));

    // Neither blocks nor reads without end.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
    EXPECT_FALSE(readFile(dir / "fifo"));
    EXPECT_FALSE(readFile("/dev/zero"));
    EXPECT_FALSE(readBlocks("/dev/zero", 1 << 20, [](std::string_view) {}));
}

TEST(Files, LargeFilesAreReadAheadWholeInOrderAndUpToTheLimit) {
    TempDir dir;
    std::string content((9u << 20) + 12345, '\0');
    uint32_t x = 2463534242u;
    for (char& c : content) { // xorshift: no block repeats another
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    corvane::test::writeText(dir / "big", content);
    for (const uint64_t limit : {uint64_t{UINT64_MAX}, uint64_t{content.size() - 777}}) {
        std::string read;
        uint64_t lastProgress = 0;
        const auto n = readBlocks(
            dir / "big", limit, [&](std::string_view block) { read.append(block); },
            [&](uint64_t done) { lastProgress = done; });
        const size_t expected = std::min<uint64_t>(limit, content.size());
        ASSERT_EQ(n, expected);
        EXPECT_EQ(lastProgress, expected);
        EXPECT_TRUE(read == content.substr(0, expected));
    }
    // A consumer that gives up mid-way ends the read-ahead with it.
    EXPECT_THROW(readBlocks(dir / "big", UINT64_MAX,
                            [](std::string_view) { throw std::runtime_error("enough"); }),
                 std::runtime_error);
}
