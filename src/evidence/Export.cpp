#include "evidence/Export.h"

#include "util/Files.h"
#include "util/LocalTime.h"

#include <algorithm>
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

/// The log first, then the plain files of reports/ in name order. The destination itself is
/// left out, so exporting into reports/ never nests the previous archive in the new one.
std::vector<Entry> collectEntries(const fs::path& dataFolder, const fs::path& log, uint64_t logSize,
                                  const fs::path& destination) {
    std::vector<Entry> entries{{log, "CV_personal.log", logSize}};
    std::vector<Entry> reports;
    std::error_code ec;
    for (fs::directory_iterator it(dataFolder / "reports", ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code fileEc;
        if (!it->is_regular_file(fileEc) || fs::equivalent(it->path(), destination, fileEc)) {
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

bool writeArchive(const fs::path& archivePath, const std::vector<Entry>& entries) {
    int error = 0;
    zip_t* archive = zip_open(archivePath.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!archive) {
        return false;
    }
    for (const Entry& entry : entries) {
        // The length is fixed when the list is made: the log may grow while it is archived,
        // and the archive holds it as it was at the moment of the export.
        zip_source_t* source =
            zip_source_file(archive, entry.path.c_str(), 0, static_cast<zip_int64_t>(entry.size));
        if (!source) {
            zip_discard(archive);
            return false;
        }
        if (zip_file_add(archive, entry.name.c_str(), source, ZIP_FL_ENC_UTF_8) < 0) {
            zip_source_free(source);
            zip_discard(archive);
            return false;
        }
    }
    if (zip_close(archive) != 0) {
        zip_discard(archive);
        return false;
    }
    return true;
}

/// The archive is often copied straight to a removable drive: have it on disk before the
/// rename makes it the export.
} // namespace

ExportResult exportEvidence(const fs::path& dataFolder, const fs::path& destination) {
    const fs::path log = dataFolder / "CV_personal.log";
    std::error_code ec;
    if (!fs::exists(log, ec)) {
        return ExportResult::NoLog;
    }
    const auto logSize = fs::file_size(log, ec);
    if (ec) {
        return ExportResult::Failed;
    }
    const auto entries = collectEntries(dataFolder, log, logSize, destination);

    const bool written = util::replaceFileAtomic(destination, [&](int, const fs::path& temporary) {
        return writeArchive(temporary, entries);
    });
    if (!written) {
        return ExportResult::Failed;
    }
    return ExportResult::Exported;
}

std::string_view exportMessage(ExportResult result) {
    switch (result) {
    case ExportResult::Exported:
        return "";
    case ExportResult::NoLog:
        return "No log to export yet — press Start Monitoring first.";
    case ExportResult::Failed:
        return "Export failed.";
    }
    return "Export failed.";
}

std::string proposedExportName(int64_t now) {
    return "CV_evidence_" + util::formatLocal(now, "%Y-%m-%d_%H%M") + ".zip";
}

} // namespace corvane::evidence
