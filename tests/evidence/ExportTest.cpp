#include "evidence/Export.h"

#include "TempDir.h"
#include "TestConfig.h"
#include "capture/DataFolder.h"
#include "sift/Sift.h"
#include "util/Files.h"

#include <chrono>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <zip.h>

using namespace corvane::evidence;
using corvane::test::readText;
using corvane::test::TempDir;
using corvane::test::writeText;
namespace fs = std::filesystem;

namespace {

/// Every entry of an archive: name → contents. Empty when it cannot be opened.
std::map<std::string, std::string> readArchive(const fs::path& path) {
    std::map<std::string, std::string> entries;
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (!archive) {
        return entries;
    }
    for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
        zip_stat_t st;
        zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &st);
        std::string data(st.size, '\0');
        zip_file_t* file = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0);
        zip_fread(file, data.data(), st.size);
        zip_fclose(file);
        entries[st.name] = data;
    }
    zip_close(archive);
    return entries;
}

size_t entriesIn(const fs::path& folder) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(folder), {}));
}

using Contents = std::map<std::string, std::string>;

} // namespace

TEST(Export, ArchivesTheLogAndEveryReportUnderBareNames) {
    TempDir dir;
    const fs::path data = dir / "data";
    writeText(corvane::DataFolder(data).evidenceLog(), "line 1\nline 2\n");
    writeText(data / "reports" / "CV-Report-ALL.html", "<html>all</html>");
    writeText(data / "reports" / ".hidden", "hidden");
    writeText(data / "reports" / "nested" / "deeper.txt", "folders are not archived");
    writeText(corvane::DataFolder(data).liveState(), "{}");
    // A report of the demo data is not evidence, and stays out.
    fs::copy_file(fs::path(CORVANE_TEST_DATA_DIR) / "evidence/report/demo/expected.html",
                  data / "reports" / "CV-Report-demo.html");

    fs::create_directories(dir / "out");
    const fs::path zip = dir / "out" / "evidence.zip";
    ASSERT_EQ(exportEvidence(data, zip).result, ExportResult::Exported);
    EXPECT_EQ(readArchive(zip), (Contents{{"CV_personal.log", "line 1\nline 2\n"},
                                          {"CV-Report-ALL.html", "<html>all</html>"},
                                          {".hidden", "hidden"}}));
    EXPECT_EQ(entriesIn(dir / "out"), 1u) << "no temporary file left behind";
    EXPECT_EQ(fs::status(zip).permissions() & fs::perms::others_read, fs::perms::others_read);
}

TEST(Export, WithoutReportsTheLogAloneWithoutALogNothingAndNoArchiveOfAnArchive) {
    TempDir dir;
    writeText(corvane::DataFolder(dir).evidenceLog(), "");
    ASSERT_EQ(exportEvidence(dir.path(), dir / "a.zip").result, ExportResult::Exported);
    EXPECT_EQ(readArchive(dir / "a.zip"), (Contents{{"CV_personal.log", ""}}));
    fs::create_directories(dir / "reports");
    ASSERT_EQ(exportEvidence(dir.path(), dir / "b.zip").result, ExportResult::Exported);
    EXPECT_EQ(readArchive(dir / "b.zip"), (Contents{{"CV_personal.log", ""}}));

    fs::remove(corvane::DataFolder(dir).evidenceLog());
    EXPECT_EQ(exportEvidence(dir.path(), dir / "c.zip").result, ExportResult::NoLog);
    EXPECT_FALSE(fs::exists(dir / "c.zip"));
    EXPECT_EQ(proposedExportName(1792354240), "CV_evidence_2026-10-18_2010.zip"); // TZ=UTC

    // An archive inside reports/ is not archived again.
    writeText(corvane::DataFolder(dir).evidenceLog(), "log");
    writeText(dir / "reports" / "CV-Report-ALL.html", "r");
    const fs::path zip = dir / "reports" / "evidence.zip";
    ASSERT_EQ(exportEvidence(dir.path(), zip).result, ExportResult::Exported);
    ASSERT_EQ(exportEvidence(dir.path(), zip).result, ExportResult::Exported);
    EXPECT_EQ(readArchive(zip),
              (Contents{{"CV_personal.log", "log"}, {"CV-Report-ALL.html", "r"}}));
}

TEST(Export, ReplacesAnExistingArchiveOnlyOnSuccess) {
    TempDir dir;
    const fs::path data = dir / "data";
    const fs::path zip = dir / "evidence.zip";
    writeText(corvane::DataFolder(data).evidenceLog(), "old");
    writeText(data / "reports" / "stale.html", "stale");
    ASSERT_EQ(exportEvidence(data, zip).result, ExportResult::Exported);

    fs::remove(data / "reports" / "stale.html");
    writeText(corvane::DataFolder(data).evidenceLog(), "new");
    ASSERT_EQ(exportEvidence(data, zip).result, ExportResult::Exported);
    const Contents current{{"CV_personal.log", "new"}};
    EXPECT_EQ(readArchive(zip), current);

    // A report that clashes with the log's name cannot be archived: the export fails and the
    // previous archive is untouched.
    writeText(data / "reports" / "CV_personal.log", "a clash");
    const auto clash = exportEvidence(data, zip);
    EXPECT_EQ(clash.result, ExportResult::Failed);
    EXPECT_EQ(exportMessage(clash), "Export failed — File already exists.");
    EXPECT_EQ(readArchive(zip), current);
    EXPECT_EQ(entriesIn(dir.path()), 2u) << "no temporary file left behind";

    // Destinations that cannot be written.
    fs::remove(data / "reports" / "CV_personal.log");
    EXPECT_EQ(exportEvidence(data, dir / "missing" / "a.zip").result, ExportResult::Failed);
    EXPECT_EQ(entriesIn(dir.path()), 2u);
}

TEST(Export, NeverWritesOverEvidenceFoldersOrSpecialFiles) {
    TempDir dir;
    const fs::path data = dir / "data";
    const fs::path log = corvane::DataFolder(data).evidenceLog();
    writeText(log, "evidence\n");
    writeText(data / "sift" / "ALL.json", "{}");
    writeText(data / "reports" / "CV-Report-ALL.html", "<html>");
    fs::create_hard_link(log, dir / "hard-link.log");
    fs::create_symlink(log, dir / "soft-link.zip");
    fs::create_directories(dir / "folder" / "child");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);

    const std::vector<std::pair<fs::path, ExportResult>> refused{
        {log, ExportResult::KeptFile},
        {dir / "data" / "sift" / ".." / "CV_personal.log", ExportResult::KeptFile},
        {dir / "hard-link.log", ExportResult::KeptFile},
        {dir / "soft-link.zip", ExportResult::KeptFile},
        {corvane::DataFolder(data).liveState(),
         ExportResult::KeptFile}, // kept even before it exists
        {corvane::DataFolder(data).captureLock(), ExportResult::KeptFile},
        {data / "radar.js", ExportResult::KeptFile}, // a page asset the app copies in
        {data / "sift" / "ALL.json", ExportResult::KeptFile},
        {data / "reports" / "CV-Report-ALL.html", ExportResult::KeptFile},
        {dir / "folder", ExportResult::Folder},
        {dir / "fifo", ExportResult::Special},
        {"/dev/null", ExportResult::Special},
    };
    for (const auto& [destination, why] : refused) {
        const auto outcome = exportEvidence(data, destination);
        EXPECT_EQ(outcome.result, why) << destination;
        EXPECT_THAT(exportMessage(outcome), ::testing::StartsWith("Export refused — "));
    }
    EXPECT_EQ(readText(log), "evidence\n");
    EXPECT_EQ(readText(data / "sift" / "ALL.json"), "{}");
    EXPECT_TRUE(fs::exists(dir / "folder" / "child"));
    EXPECT_EQ(fs::status(dir / "fifo").type(), fs::file_type::fifo);
    EXPECT_EQ(fs::status("/dev/null").type(), fs::file_type::character);
    EXPECT_FALSE(fs::exists(corvane::DataFolder(data).liveState()));

    // Beside the kept files is fine.
    ASSERT_EQ(exportEvidence(data, data / "evidence.zip").result, ExportResult::Exported);
    EXPECT_EQ(readArchive(data / "evidence.zip").at("CV_personal.log"), "evidence\n");
}

TEST(Export, AKilledWritersFileIsNeverArchivedAndAPassSweepsIt) {
    TempDir dir;
    const fs::path data = dir.path();
    writeText(corvane::DataFolder(data).evidenceLog(), "log\n");
    fs::create_directories(data / "reports");
    const auto temporaries = [&] {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(data / "reports")) {
            if (corvane::util::isTemporaryName(entry.path().filename().string())) {
                found.push_back(entry.path());
            }
        }
        return found;
    };
    // A report writer killed in the middle of its work.
    const pid_t writer = ::fork();
    if (writer == 0) {
        corvane::util::replaceFileAtomic(data / "reports" / "CV-Report-ALL.html",
                                         [](int fd, const fs::path&) {
                                             (void)!::write(fd, "<html>half", 10);
                                             ::pause();
                                             return true;
                                         });
        ::_exit(0);
    }
    for (int i = 0; i < 1000 && temporaries().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(writer, SIGKILL);
    ::waitpid(writer, nullptr, 0);
    const auto left = temporaries();
    ASSERT_EQ(left.size(), 1u);

    ASSERT_EQ(exportEvidence(data, dir / "e.zip").result, ExportResult::Exported);
    EXPECT_EQ(readArchive(dir / "e.zip"), (Contents{{"CV_personal.log", "log\n"}}));

    // A pass sweeps those older than a minute, not one whose writer may still be at work.
    writeText(data / "sift" / ".ALL.json.Ab12Cd.cvtmp", "young");
    fs::last_write_time(left[0], fs::file_time_type::clock::now() - std::chrono::minutes(2));
    corvane::Sift::runPass(data, 1792339980);
    EXPECT_FALSE(fs::exists(left[0]));
    EXPECT_TRUE(fs::exists(data / "sift" / ".ALL.json.Ab12Cd.cvtmp"));
}

TEST(Export, AKilledExportLeavesOnlyItsSweptTemporaryFile) {
    TempDir dir;
    writeText(dir / "CV_personal.log", "log\n");
    ASSERT_EQ(::truncate((dir / "CV_personal.log").c_str(), off_t{256} << 20), 0);
    writeText(dir / "reports" / "CV-Report-ALL.html", "r");
    const fs::path zip = dir / "reports" / "evidence.zip";
    const pid_t exporter = ::fork();
    if (exporter == 0) {
        exportEvidence(dir.path(), zip);
        ::_exit(0);
    }
    for (int i = 0; i < 1000 && entriesIn(dir / "reports") < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // well into the archive
    ::kill(exporter, SIGKILL);
    ::waitpid(exporter, nullptr, 0);
    // No file of the archiver's own: whatever the kill left is a temporary file by name.
    for (const auto& entry : fs::directory_iterator(dir / "reports")) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "CV-Report-ALL.html" || corvane::util::isTemporaryName(name)) << name;
        fs::last_write_time(entry.path(), fs::file_time_type::clock::now() - std::chrono::minutes(2));
    }
    ASSERT_EQ(::truncate((dir / "CV_personal.log").c_str(), 4), 0);
    ASSERT_EQ(exportEvidence(dir.path(), zip).result, ExportResult::Exported);
    EXPECT_EQ(readArchive(zip),
              (Contents{{"CV_personal.log", "log\n"}, {"CV-Report-ALL.html", "r"}}));
    EXPECT_EQ(entriesIn(dir / "reports"), 2u) << "the next export swept what the kill left";
}
