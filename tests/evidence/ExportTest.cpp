#include "evidence/Export.h"

#include "TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
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
    writeText(data / "CV_personal.log", "line 1\nline 2\n");
    writeText(data / "reports" / "CV-Report-ALL.html", "<html>all</html>");
    writeText(data / "reports" / ".hidden", "hidden");
    writeText(data / "reports" / "nested" / "deeper.txt", "folders are not archived");
    writeText(data / "cv_state_live.json", "{}");

    fs::create_directories(dir / "out");
    const fs::path zip = dir / "out" / "evidence.zip";
    ASSERT_EQ(exportEvidence(data, zip), ExportResult::Exported);
    EXPECT_EQ(readArchive(zip), (Contents{{"CV_personal.log", "line 1\nline 2\n"},
                                          {"CV-Report-ALL.html", "<html>all</html>"},
                                          {".hidden", "hidden"}}));
    EXPECT_EQ(entriesIn(dir / "out"), 1u) << "no temporary file left behind";
    EXPECT_EQ(fs::status(zip).permissions() & fs::perms::others_read, fs::perms::others_read);
}

TEST(Export, WithoutReportsTheLogAloneAndWithoutALogNothing) {
    TempDir dir;
    writeText(dir / "CV_personal.log", "");
    ASSERT_EQ(exportEvidence(dir.path(), dir / "a.zip"), ExportResult::Exported);
    EXPECT_EQ(readArchive(dir / "a.zip"), (Contents{{"CV_personal.log", ""}}));
    fs::create_directories(dir / "reports");
    ASSERT_EQ(exportEvidence(dir.path(), dir / "b.zip"), ExportResult::Exported);
    EXPECT_EQ(readArchive(dir / "b.zip"), (Contents{{"CV_personal.log", ""}}));

    fs::remove(dir / "CV_personal.log");
    EXPECT_EQ(exportEvidence(dir.path(), dir / "c.zip"), ExportResult::NoLog);
    EXPECT_FALSE(fs::exists(dir / "c.zip"));
    EXPECT_EQ(exportMessage(ExportResult::NoLog),
              "No log to export yet — press Start Monitoring first.");
    EXPECT_EQ(exportMessage(ExportResult::Failed), "Export failed.");
}
TEST(Export, ReplacesAnExistingArchiveOnlyOnSuccess) {
    TempDir dir;
    const fs::path data = dir / "data";
    const fs::path zip = dir / "evidence.zip";
    writeText(data / "CV_personal.log", "old");
    writeText(data / "reports" / "stale.html", "stale");
    ASSERT_EQ(exportEvidence(data, zip), ExportResult::Exported);

    fs::remove(data / "reports" / "stale.html");
    writeText(data / "CV_personal.log", "new");
    ASSERT_EQ(exportEvidence(data, zip), ExportResult::Exported);
    const Contents current{{"CV_personal.log", "new"}};
    EXPECT_EQ(readArchive(zip), current);

    // A report that clashes with the log's name cannot be archived: the export fails and the
    // previous archive is untouched.
    writeText(data / "reports" / "CV_personal.log", "a clash");
    EXPECT_EQ(exportEvidence(data, zip), ExportResult::Failed);
    EXPECT_EQ(readArchive(zip), current);
    EXPECT_EQ(entriesIn(dir.path()), 2u) << "no temporary file left behind";

    // Destinations that cannot be written.
    fs::remove(data / "reports" / "CV_personal.log");
    fs::create_directories(dir / "taken" / "child");
    EXPECT_EQ(exportEvidence(data, dir / "taken"), ExportResult::Failed);
    EXPECT_TRUE(fs::exists(dir / "taken" / "child"));
    EXPECT_EQ(exportEvidence(data, dir / "missing" / "a.zip"), ExportResult::Failed);
    EXPECT_EQ(entriesIn(dir.path()), 3u);
}

TEST(Export, AnArchiveInsideReportsIsNotArchivedAgain) {
    TempDir dir;
    writeText(dir / "CV_personal.log", "log");
    writeText(dir / "reports" / "CV-Report-ALL.html", "r");
    const fs::path zip = dir / "reports" / "evidence.zip";
    ASSERT_EQ(exportEvidence(dir.path(), zip), ExportResult::Exported);
    ASSERT_EQ(exportEvidence(dir.path(), zip), ExportResult::Exported);
    EXPECT_EQ(readArchive(zip),
              (Contents{{"CV_personal.log", "log"}, {"CV-Report-ALL.html", "r"}}));
}

TEST(Export, ProposedNameUsesLocalTime) {
    EXPECT_EQ(proposedExportName(1792354240), "CV_evidence_2026-10-18_2010.zip"); // TZ=UTC
}
