#include "evidence/Export.h"

#include "capture/DataFolder.h"
#include "evidence/Report.h"
#include "util/Files.h"
#include "util/LocalTime.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <vector>
#include <zip.h>

namespace corvane::evidence {
namespace fs = std::filesystem;

namespace {

struct Entry {
    fs::path path;
    std::string name;
    uint64_t size = 0;
};

/// Whether `destination` is, or is reached through links as, a file the program keeps in the
/// data folder. Hard links to the evidence log count as the log.
bool isKeptFile(const fs::path& dataFolder, const fs::path& destination) {
    std::error_code ec;
    const fs::path data = fs::weakly_canonical(dataFolder, ec);
    const fs::path target = fs::weakly_canonical(destination, ec);
    if (ec) {
        return false;
    }
    const fs::path folder = target.parent_path();
    const std::string name = target.filename().string();
    const DataFolder layout(data);
    // Everything in sift/ and the reports of reports/ are kept files too.
    if (folder == data) {
        return std::find(DataFolder::kTopFiles.begin(), DataFolder::kTopFiles.end(), name) !=
                   DataFolder::kTopFiles.end() ||
               std::find(kDashboardPageFiles.begin(), kDashboardPageFiles.end(), name) !=
                   kDashboardPageFiles.end() ||
               util::isTemporaryName(name);
    }
    if (folder == layout.sift()) {
        return true;
    }
    if (folder == layout.reports() &&
        (DataFolder::isReportName(name) || util::isTemporaryName(name))) {
        return true;
    }
    return fs::equivalent(destination, DataFolder(dataFolder).evidenceLog(), ec);
}

/// Why a destination must not be written, if it must not.
std::optional<ExportResult> refusal(const fs::path& dataFolder, const fs::path& destination) {
    std::error_code ec;
    const auto type = fs::status(destination, ec).type();
    if (type == fs::file_type::directory) {
        return ExportResult::Folder;
    }
    if (type != fs::file_type::not_found && type != fs::file_type::regular &&
        type != fs::file_type::none) {
        return ExportResult::Special;
    }
    if (isKeptFile(dataFolder, destination)) {
        return ExportResult::KeptFile;
    }
    return std::nullopt;
}

/// The log first, then the plain files of reports/ in name order, but for demo reports. The
/// destination itself is left out, so exporting into reports/ never nests the previous archive in
/// the new one, and so are the temporary files of writers, half-written or left behind by a kill.
std::vector<Entry> collectEntries(const fs::path& dataFolder, const fs::path& log, uint64_t logSize,
                                  const fs::path& destination) {
    std::vector<Entry> entries{{log, std::string(DataFolder::kEvidenceLog), logSize}};
    std::vector<Entry> reports;
    std::error_code ec;
    for (fs::directory_iterator it(DataFolder(dataFolder).reports(), ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code fileEc;
        // A report of the demo data is no evidence, whatever mode the app is in now.
        if (!it->is_regular_file(fileEc) || util::isTemporaryName(it->path().filename().string()) ||
            fs::equivalent(it->path(), destination, fileEc) || isDemoReport(it->path())) {
            continue;
        }
        const auto size = it->file_size(fileEc);
        if (!fileEc) {
            reports.push_back({it->path(), it->path().filename().string(), size});
        }
    }
    std::sort(reports.begin(), reports.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    entries.insert(entries.end(), reports.begin(), reports.end());
    return entries;
}

/// Writes the archive; the archiver's words when it fails.
std::optional<std::string> writeArchive(const fs::path& archivePath,
                                        const std::vector<Entry>& entries,
                                        const ExportProgress& progress) {
    int code = 0;
    zip_t* archive = zip_open(archivePath.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (!archive) {
        zip_error_t error;
        zip_error_init_with_code(&error, code);
        std::string text = zip_error_strerror(&error);
        zip_error_fini(&error);
        return text;
    }
    const auto fail = [archive] {
        std::string text = zip_strerror(archive);
        zip_discard(archive);
        return text;
    };
    // The archiver reports its progress as a fraction while it writes, at zip_close.
    uint64_t total = 0;
    for (const Entry& entry : entries) {
        total += entry.size;
    }
    struct Report {
        const ExportProgress& progress;
        uint64_t total;
    } report{progress, total};
    if (progress) {
        zip_register_progress_callback_with_state(
            archive, 0.001,
            [](zip_t*, double fraction, void* state) {
                const auto* r = static_cast<const Report*>(state);
                r->progress(static_cast<uint64_t>(fraction * static_cast<double>(r->total)),
                            r->total);
            },
            nullptr, &report);
    }
    for (const Entry& entry : entries) {
        // The length is fixed when the list is made: the log may grow while it is archived,
        // and the archive holds it as it was at the moment of the export.
        zip_source_t* source =
            zip_source_file(archive, entry.path.c_str(), 0, static_cast<zip_int64_t>(entry.size));
        if (!source) {
            return fail();
        }
        if (zip_file_add(archive, entry.name.c_str(), source, ZIP_FL_ENC_UTF_8) < 0) {
            zip_source_free(source);
            return fail();
        }
    }
    if (zip_close(archive) != 0) {
        return fail();
    }
    return std::nullopt;
}

} // namespace

ExportOutcome exportEvidence(const fs::path& dataFolder, const fs::path& destination,
                             const ExportProgress& progress) {
    const fs::path log = DataFolder(dataFolder).evidenceLog();
    std::error_code ec;
    if (!fs::exists(log, ec)) {
        return {ExportResult::NoLog, {}};
    }
    if (const auto refused = refusal(dataFolder, destination)) {
        return {*refused, {}};
    }
    const auto logSize = fs::file_size(log, ec);
    if (ec) {
        return {ExportResult::Failed, ec.message()};
    }
    const auto entries = collectEntries(dataFolder, log, logSize, destination);

    std::optional<std::string> archiveError;
    const bool written = util::replaceFileAtomic(destination, [&](int, const fs::path& temporary) {
        archiveError = writeArchive(temporary, entries, progress);
        return !archiveError;
    });
    if (!written) {
        return {ExportResult::Failed, archiveError.value_or(std::strerror(errno))};
    }
    return {ExportResult::Exported, {}};
}

std::string exportMessage(const ExportOutcome& outcome) {
    switch (outcome.result) {
    case ExportResult::Exported:
        return "";
    case ExportResult::NoLog:
        return "No log to export yet — press Start Monitoring first.";
    case ExportResult::KeptFile:
        return "Export refused — that is the evidence log or another file of the data folder; "
               "choose another name.";
    case ExportResult::Folder:
        return "Export refused — that is a folder; choose a file name.";
    case ExportResult::Special:
        return "Export refused — that is not a regular file; choose another name.";
    case ExportResult::Failed:
        break;
    }
    return outcome.reason.empty() ? "Export failed." : "Export failed — " + outcome.reason + ".";
}

std::string proposedExportName(int64_t now) {
    return "CV_evidence_" + util::formatLocal(now, "%Y-%m-%d_%H%M") + ".zip";
}

} // namespace corvane::evidence
