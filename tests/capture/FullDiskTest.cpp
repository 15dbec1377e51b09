#include "FullDisk.h"

#include "capture/DataFolder.h"

#include <sys/mount.h>
#include <unistd.h>

namespace corvane::test {
namespace {

namespace fs = std::filesystem;

/// `corvane monitor` on a small file system of its own that fills up while it captures.
TEST(FullDisk, NoLineIsLostSilentlyAndTheNextRunStartsAfresh) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "mounting a file system needs root";
    }
    TempDir dir;
    const fs::path data = dir / "CV";
    fs::create_directories(data);
    if (::mount("tmpfs", data.c_str(), "tmpfs", 0, "size=16k") != 0) {
        GTEST_SKIP() << "no tmpfs can be mounted here";
    }
    writeLongSource(dir / "source.log", 400);
    const std::vector<std::string> env{"CORVANE_LOG_SOURCE=" + (dir / "source.log").string(),
                                       "CORVANE_LOG_SPEED=0"};
    // The analysis writes into the same 16 KB; whatever it takes, the log fills up.
    const std::string log = runUntilTheDiskIsFull(
        {std::string(CORVANE_BIN_DIR) + "/corvane", "monitor", "--data", data.string()}, env,
        DataFolder(data).evidenceLog(), "No space left on device");

    // Room again: everything but the log goes.
    for (const auto& entry : fs::directory_iterator(data)) {
        if (entry.path().filename() != "CV_personal.log") {
            fs::remove_all(entry.path());
        }
    }
    expectTheNextRunStartsAfreshLine(data, env, log.size());
    ::umount(data.c_str());
}

} // namespace
} // namespace corvane::test
