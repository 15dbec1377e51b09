#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace corvane::evidence {

enum class ExportResult {
    Exported,
    NoLog,    ///< the data folder holds no evidence log
    Failed,   ///< the archive could not be written; an earlier file at the destination is kept
    KeptFile, ///< the destination is the evidence log or another file kept in the data folder
    Folder,   ///< the destination is a folder
    Special,  ///< the destination is neither a regular file nor a folder (a device, a pipe…)
};

struct ExportOutcome {
    ExportResult result = ExportResult::Failed;
    std::string reason; ///< for Failed: the system's or the archiver's words, when known
};

/// Called as the archive is written: bytes done of the bytes to archive.
using ExportProgress = std::function<void(uint64_t done, uint64_t total)>;

/// Writes a ZIP archive holding CV_personal.log and every file of reports/ (hidden ones too,
/// but never a temporary file of a writer, nor a report of the demo data), all at the top level
/// under their bare names. The archive is built in a temporary file beside `destination` and
/// renamed over it only once complete, so a failure never costs an earlier archive and never passes
/// for success. A destination that is a file the program keeps in the data folder, a folder or a
/// special file is refused and left untouched.
ExportOutcome exportEvidence(const std::filesystem::path& dataFolder,
                             const std::filesystem::path& destination,
                             const ExportProgress& progress = {});

/// The text the user sees for an outcome; empty for success.
std::string exportMessage(const ExportOutcome& outcome);

/// "CV_evidence_" + local "yyyy-MM-dd_HHmm" + ".zip", the name the save dialog proposes.
std::string proposedExportName(int64_t now);

} // namespace corvane::evidence
