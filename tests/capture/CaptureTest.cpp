#include "CaptureHarness.h"

#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <stdio.h>
#include <fstream>
#include <gmock/gmock.h>
#include <signal.h>

namespace corvane::test {
namespace {

using ::testing::ElementsAre;
using namespace std::chrono_literals;

const std::string kStart(Capture::startMarker);
const std::string kStop(Capture::stopMarker);

/// The number of lines in a file the fake tools append to, e.g. once per launch.
size_t countLines(const std::filesystem::path& path) {
    const std::string text = readText(path);
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

bool processExists(pid_t pid) {
    return ::kill(pid, 0) == 0;
}

TEST_F(CaptureTest, RunsTheToolWithTheSixArgumentsAndCapturesStderrToo) {
    auto capture =
        makeCapture(fakeTool(R"(printf '%s\n' "$#" "$@"; echo oops >&2; exec sleep 60)"));
    capture->start();
    ASSERT_TRUE(waitForLines(9));
    capture->stop();
    EXPECT_THAT(payloads(),
                ElementsAre(kStart, "6", "stream", "--predicate", std::string(Capture::predicate),
                            "--info", "--style", "syslog", "oops", kStop));
}

TEST_F(CaptureTest, WritesALineOnlyOnceItsLineFeedArrives) {
    // A line split across chunks, the second cut inside the two bytes of "é".
    auto capture = makeCapture(fakeTool(R"(printf 'a\nb'
while [ ! -e go1 ]; do sleep 0.01; done; printf 'c caf\303'
while [ ! -e go2 ]; do sleep 0.01; done; printf '\251\n'
exec sleep 60)"));
    capture->start();
    ASSERT_TRUE(waitForLines(2));
    std::this_thread::sleep_for(100ms);
    EXPECT_THAT(payloads(), ElementsAre(kStart, "a"));

    writeText(dir_ / "go1", "");
    std::this_thread::sleep_for(200ms);
    EXPECT_THAT(payloads(), ElementsAre(kStart, "a"));

    writeText(dir_ / "go2", "");
    ASSERT_TRUE(waitForLines(3));
    EXPECT_THAT(payloads(), ElementsAre(kStart, "a", "bc café"));
}

TEST_F(CaptureTest, DropsBlankLinesKeepsPaddingAndReplacesBadBytes) {
    auto capture = makeCapture(fakeTool(R"(printf '\n\n  \t \n\t\n'
printf '  padded\t \n'
printf 'bad \377 byte, cut \342\202 sequence\n'
printf 'end\n'
exec sleep 60)"));
    capture->start();
    ASSERT_TRUE(waitForLines(4));
    ASSERT_TRUE(main_.runUntil([&] { return capture->lineCount() == 4; }));
    EXPECT_THAT(payloads(), ElementsAre(kStart, "  padded\t ",
                                        "bad \xEF\xBF\xBD byte, cut \xEF\xBF\xBD sequence", "end"));
    std::this_thread::sleep_for(100ms);
    main_.drain();
    EXPECT_EQ(capture->lineCount(), 4) << "blank lines must not be counted";
}

TEST_F(CaptureTest, SecondRunAppendsAndKeepsTheFirstRunsUnfinishedLine) {
    auto capture = makeCapture(fakeTool(R"(if [ -e ran ]; then printf 'two\n'; exec sleep 60; fi
touch ran; printf 'one\npartial')"));
    capture->start();
    ASSERT_TRUE(main_.runUntil([&] { return capture->isRunning(); }));
    // The tool ends by itself: the capture goes idle, writing no marker, but the line the
    // tool left without a line feed.
    ASSERT_TRUE(main_.runUntil([&] { return !capture->isRunning(); }));
    EXPECT_THAT(payloads(), ElementsAre(kStart, "one", "partial"));

    capture->start();
    ASSERT_TRUE(waitForLines(5)) << capture->lastError().value_or("") << readText(logPath());
    capture->stop();
    EXPECT_THAT(payloads(), ElementsAre(kStart, "one", "partial", kStart, "two", kStop));
}

TEST_F(CaptureTest, StartWhileRunningDoesNothing) {
    auto capture = makeCapture(fakeTool("echo launch >> launches; exec sleep 60"));
    // Twice before the main thread has seen isRunning turn true, then once after.
    capture->start();
    capture->start();
    ASSERT_TRUE(main_.runUntil([&] { return capture->isRunning(); }));
    capture->start();
    main_.drain();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(countLines(dir_ / "launches"), 1u);
    EXPECT_THAT(payloads(), ElementsAre(kStart));
}

TEST_F(CaptureTest, UnwritableDataFolderReportsFullDiskAccessUntilFixed) {
    auto capture = makeCapture(fakeTool("echo launch >> launches; exec sleep 60"));
    // A plain file where the data folder should be: neither root nor anyone can create it.
    writeText(dataFolder(), "not a folder");
    capture->start();
    main_.drain();
    EXPECT_EQ(capture->lastError(), std::string(Capture::fullDiskAccessError));
    EXPECT_FALSE(capture->isRunning());
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "launches"));

    std::filesystem::remove(dataFolder());
    capture->start();
    ASSERT_TRUE(main_.runUntil([&] { return capture->isRunning(); }));
    EXPECT_EQ(capture->lastError(), std::nullopt);
}

TEST_F(CaptureTest, ToolThatCannotBeLaunchedReportsWhy) {
    auto capture = makeCapture(dir_ / "no-such-tool");
    capture->start();
    main_.drain();
    EXPECT_EQ(capture->lastError(),
              std::string(Capture::launchErrorPrefix) + std::strerror(ENOENT));
    EXPECT_FALSE(capture->isRunning());
    EXPECT_TRUE(payloads().empty()) << "no start marker without a stream";
}

TEST_F(CaptureTest, NothingFollowsTheStopMarker) {
    auto capture = makeCapture(fakeTool("yes tick | head -n 1000000; exec sleep 60"));
    capture->start();
    ASSERT_TRUE(main_.runUntil([&] { return capture->lineCount() > 100; }));
    capture->stop();
    const auto sizeAtStop = std::filesystem::file_size(logPath());
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(std::filesystem::file_size(logPath()), sizeAtStop);
    EXPECT_EQ(payloads().back(), kStop);

    // Only lines that reached the file count: not the marker of a second stop, which has no
    // open log to go to, nor the lines the tool printed after the first.
    ASSERT_TRUE(main_.runUntil([&] { return !capture->isRunning(); }));
    const int64_t counted = capture->lineCount();
    EXPECT_EQ(counted, static_cast<int64_t>(payloads().size()));
    capture->stop();
    main_.drain();
    EXPECT_EQ(capture->lineCount(), counted);
    EXPECT_EQ(std::filesystem::file_size(logPath()), sizeAtStop);
}

TEST_F(CaptureTest, OneCapturePerDataFolderAndACutLineStaysApart) {
    // The log of an earlier run ends inside a line (a full disk cut it off).
    writeText(logPath(), "2026-10-18 09:14:01 | cut off");
    const auto tool = fakeTool("echo launch >> launches; echo line; exec sleep 60");
    auto first = makeCapture(tool);
    auto second = makeCapture(tool);
    first->start();
    ASSERT_TRUE(waitForLines(3));
    second->start();
    main_.drain();
    EXPECT_EQ(second->lastError(), std::string(Capture::busyError));
    EXPECT_FALSE(second->isRunning());
    EXPECT_EQ(countLines(dir_ / "launches"), 1u);

    // The lock goes with the stop.
    first->stop();
    second->start();
    ASSERT_TRUE(main_.runUntil([&] { return second->isRunning(); }));
    EXPECT_EQ(second->lastError(), std::nullopt);
    ASSERT_TRUE(waitForLines(6));
    second->stop();
    EXPECT_THAT(payloads(), ElementsAre("cut off", kStart, "line", kStop, kStart, "line", kStop));
}

TEST_F(CaptureTest, FollowsTheLogsPathWhenTheLogIsMovedOrDeleted) {
    auto capture = makeCapture(fakeTool(R"(echo one
while [ ! -e go1 ]; do sleep 0.01; done; echo two
while [ ! -e go2 ]; do sleep 0.01; done; echo three
exec sleep 60)"));
    capture->start();
    ASSERT_TRUE(waitForLines(2));

    const auto moved = dir_ / "moved.log";
    std::filesystem::rename(logPath(), moved);
    // Noticed within a second: the moved file is closed with the stop marker and a new log
    // begins at the path.
    ASSERT_TRUE(main_.runUntil([&] { return payloads().size() == 1; }, 1500ms));
    EXPECT_THAT(payloads(moved), ElementsAre(kStart, "one", kStop));
    writeText(dir_ / "go1", "");
    ASSERT_TRUE(waitForLines(2));
    EXPECT_THAT(payloads(), ElementsAre(kStart, "two"));

    std::filesystem::remove(logPath());
    ASSERT_TRUE(main_.runUntil([&] { return payloads().size() == 1; }, 1500ms));
    writeText(dir_ / "go2", "");
    ASSERT_TRUE(waitForLines(2));
    capture->stop();
    EXPECT_THAT(payloads(), ElementsAre(kStart, "three", kStop));
    // Markers written into the moved and the deleted file count too.
    EXPECT_TRUE(main_.runUntil([&] { return capture->lineCount() == 9; }));
}

TEST_F(CaptureTest, StopEndsAToolThatIgnoresTermination) {
    auto capture = makeCapture(fakeTool("echo $$ > pid; trap '' TERM; echo ready; exec sleep 60"));
    capture->start();
    ASSERT_TRUE(waitForLines(2));
    const pid_t pid = std::stoi(readText(dir_ / "pid"));
    capture->stop();
    EXPECT_FALSE(processExists(pid));
}

TEST_F(CaptureTest, DestroyingARunningCaptureStopsIt) {
    auto capture = makeCapture(fakeTool("echo $$ > pid; echo ready; exec sleep 60"));
    std::vector<Capture::Property> changes;
    capture->setChangeCallback([&](Capture::Property p) { changes.push_back(p); });
    capture->start();
    ASSERT_TRUE(waitForLines(2));
    ASSERT_TRUE(main_.runUntil([&] { return capture->isRunning(); }));
    EXPECT_THAT(changes, ::testing::Contains(Capture::Property::isRunning));
    const pid_t pid = std::stoi(readText(dir_ / "pid"));

    capture.reset();
    EXPECT_FALSE(processExists(pid));
    EXPECT_EQ(payloads().back(), kStop);
    main_.drain(); // tasks posted by the gone capture do nothing
}

TEST_F(CaptureTest, LinesStayWholeWhileMarkersComeFromTheMainThread) {
    // A flood of long lines while the main thread starts and stops the capture again and
    // again, each stop in the middle of the flood: each record is whole and the runs never
    // overlap.
    const std::string payload = "x" + std::string(300, '=') + "y";
    auto capture = makeCapture(fakeTool("yes '" + payload + "' | head -n 1000000; exec sleep 60"));
    for (int run = 0; run < 5; ++run) {
        const int64_t before = capture->lineCount();
        capture->start();
        ASSERT_TRUE(main_.runUntil([&] { return capture->lineCount() > before + 2000; }))
            << "run " << run;
        capture->stop();
        main_.drain(); // start consults the published isRunning
    }
    bool inRun = false;
    size_t runs = 0;
    for (const std::string& line : payloads()) {
        if (line == kStart) {
            EXPECT_FALSE(inRun);
            inRun = true;
            ++runs;
        } else if (line == kStop) {
            EXPECT_TRUE(inRun);
            inRun = false;
        } else {
            ASSERT_EQ(line, payload);
            EXPECT_TRUE(inRun);
        }
    }
    EXPECT_EQ(runs, 5u);
    EXPECT_FALSE(inRun);
}

TEST_F(CaptureTest, AnOverLongLineIsWrittenInPiecesWithoutHoldingIt) {
    // 300 KB without a line feed, cut anywhere by the pipe, "é" straddling every piece
    // boundary; then a short line and one of exactly two pieces.
    const std::string longLine = "a" + [] {
        std::string s;
        while (s.size() < 300000) {
            s += "\xC3\xA9";
        }
        return s;
    }();
    writeText(dir_ / "long", longLine + "\nshort\n" + std::string(2 * 65536, 'b') + "\n");
    auto capture = makeCapture(fakeTool("cat long; exec sleep 60"));
    capture->start();
    ASSERT_TRUE(waitForLines(9));
    capture->stop();

    // Every line keeps its shape; a continuation line is stamped "yyyy-MM-dd HH:mm:ss |+ ".
    const std::string text = readText(logPath());
    std::vector<std::string> lines;
    std::string joined;
    for (size_t begin = 0, lf; (lf = text.find('\n', begin)) != std::string::npos;
         begin = lf + 1) {
        const std::string line = text.substr(begin, lf - begin);
        ASSERT_LE(line.size(), 65536u + 23);
        if (line.compare(19, 4, " |+ ") == 0) {
            joined += line.substr(23);
        } else {
            ASSERT_EQ(line.compare(19, 3, " | "), 0) << line.substr(0, 40);
            if (!joined.empty()) {
                lines.push_back(joined);
            }
            joined = line.substr(22);
        }
    }
    lines.push_back(joined);
    EXPECT_THAT(lines, ElementsAre(kStart, longLine, "short", std::string(2 * 65536, 'b'), kStop));
}

TEST_F(CaptureTest, TheLockGoesWithTheDataFolderSoOneCaptureWritesALog) {
    const auto tool = fakeTool("echo line; exec sleep 60");
    auto first = makeCapture(tool);
    // A link in the lock's place is refused, not followed.
    std::filesystem::create_directories(dataFolder());
    std::filesystem::create_symlink(dir_ / "target", dataFolder() / DataFolder::kCaptureLock);
    first->start();
    main_.drain();
    EXPECT_EQ(first->lastError(), std::string(Capture::fullDiskAccessError));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "target"));
    std::filesystem::remove(dataFolder() / DataFolder::kCaptureLock);

    first->start();
    ASSERT_TRUE(waitForLines(2));

    // Moved: the capture locks the new folder before it writes there.
    std::filesystem::rename(dataFolder(), dir_ / "moved");
    ASSERT_TRUE(main_.runUntil([&] { return payloads().size() == 1; }, 1500ms));
    EXPECT_THAT(payloads(dir_ / "moved/CV_personal.log"), ElementsAre(kStart, "line", kStop));
    auto second = makeCapture(tool);
    second->start();
    main_.drain();
    EXPECT_EQ(second->lastError(), std::string(Capture::busyError));
    // Its lock file deleted, the log it writes stays its own.
    std::filesystem::remove(dataFolder() / DataFolder::kCaptureLock);
    second->start();
    main_.drain();
    EXPECT_EQ(second->lastError(), std::string(Capture::busyError));

    // Replaced by a folder another capture holds: the capture stops, writing nothing there.
    const auto other = dir_ / "other";
    std::filesystem::create_directory(other);
    const int held = ::open((other / DataFolder::kCaptureLock).c_str(), O_RDONLY | O_CREAT, 0644);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    ASSERT_EQ(::renameat2(AT_FDCWD, other.c_str(), AT_FDCWD, dataFolder().c_str(),
                          RENAME_EXCHANGE),
              0);
    ASSERT_TRUE(main_.runUntil([&] { return !first->isRunning(); }, 1500ms));
    EXPECT_EQ(first->lastError(), std::string(Capture::busyError));
    EXPECT_FALSE(std::filesystem::exists(logPath()));
    EXPECT_THAT(payloads(other / "CV_personal.log"), ElementsAre(kStart, kStop));
    ::close(held);
}

} // namespace
} // namespace corvane::test
