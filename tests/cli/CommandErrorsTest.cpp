#include "ShellCommand.h"
#include "TestConfig.h"
#include "capture/DataFolder.h"
#include "vault/Vault.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace corvane::test {
namespace {

namespace fs = std::filesystem;
using vault::shellQuote;

const auto corvane = runCorvane;

// Every failure of a command ends it with a non-zero status and one line on its error
// output, "corvane <command>: <what>: <why>", and leaves the evidence as it was.
TEST(CommandErrors, EachFailureSaysWhatAndWhyAndExitsNonZero) {
    TempDir dir;
    const fs::path data = dir / "CV";
    const std::string log = "2026-10-18 09:14:02 | — CV-APP capture started\n";
    writeText(DataFolder(data).evidenceLog(), log);
    writeText(DataFolder(data).daysFile(), R"({"days":["ALL"]})");
    writeText(DataFolder(data).allFile(), "{broken");
    writeText(DataFolder(data).baselineFile(), R"({"mode":"consumer"})");
    fs::create_directories(dir / "folder");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
    const std::string d = " --data " + shellQuote(data.string());
    const std::string missing = (dir / "missing").string();

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"report" + d + " --day ../x", "corvane report: day \"../x\": not a day name"},
        {"report" + d + " --day baseline",
         "corvane report: day \"baseline\": not listed in sift/days.json"},
        {"report" + d, "corvane report: sift/ALL.json: missing or not a dashboard file"},
        {"learn" + d + " --since NaN",
         "corvane learn: --since: must be a time in seconds since 1970, before the year 10000"},
        {"pass" + d + " --now 253402300800",
         "corvane pass: --now: must be a time in seconds since 1970, before the year 10000"},
        {"pass" + d + " --now nan",
         "corvane pass: --now: must be a time in seconds since 1970, before the year 10000"},
        {"pass" + d + " --now -5",
         "corvane pass: --now: must be a time in seconds since 1970, before the year 10000"},
        {"pass" + d + " --now 1e300",
         "corvane pass: --now: must be a time in seconds since 1970, before the year 10000"},
        {"pass --data " + shellQuote(missing),
         "corvane pass: " + missing + ": no such data folder"},
        {"learn --data " + shellQuote(missing) + " --since 1",
         "corvane learn: " + missing + ": no such data folder"},
        {"export" + d + " --out " + shellQuote((DataFolder(data).evidenceLog()).string()),
         "corvane export: " + (DataFolder(data).evidenceLog()).string() +
             ": Export refused — that is the evidence log or another file of the data folder; "
             "choose another name."},
        {"export" + d + " --out " + shellQuote((dir / "folder").string()),
         "corvane export: " + (dir / "folder").string() +
             ": Export refused — that is a folder; choose a file name."},
        {"export" + d + " --out " + shellQuote((dir / "fifo").string()),
         "corvane export: " + (dir / "fifo").string() +
             ": Export refused — that is not a regular file; choose another name."},
        {"export" + d + " --out " + shellQuote((dir / "missing/e.zip").string()),
         "corvane export: " + (dir / "missing/e.zip").string() +
             ": Export failed — No such file or directory."},
        {"digest " + shellQuote((dir / "folder").string()),
         "corvane digest: can't read " + (dir / "folder").string() + ": it is a folder"},
    };
    for (const auto& [arguments, message] : cases) {
        const auto result = corvane(arguments);
        EXPECT_NE(result.status, 0) << arguments;
        EXPECT_EQ(result.output, message + "\n") << arguments;
    }
    EXPECT_FALSE(fs::exists(missing)) << "a command that reads a data folder does not create it";
    EXPECT_EQ(readText(DataFolder(data).evidenceLog()), log);
    EXPECT_EQ(readText(DataFolder(data).allFile()), "{broken") << "no pass ran on a refused clock";
    EXPECT_EQ(fs::status(dir / "fifo").type(), fs::file_type::fifo);
    EXPECT_FALSE(fs::exists(data / "reports")) << "no report of a file that is not a day";

    // A pass that could not save its state has failed, whatever it read.
    fs::create_directories(DataFolder(data).liveState());
    const auto pass = corvane("pass" + d + " --now 1792339980");
    EXPECT_NE(pass.status, 0);
    EXPECT_EQ(pass.output, "corvane pass: can't save cv_state_live.json: Is a directory\n");
}

} // namespace
} // namespace corvane::test
