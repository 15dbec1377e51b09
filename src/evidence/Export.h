#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace corvane::evidence {

enum class ExportResult {
    Exported,
    NoLog,  ///< the data folder holds no evidence log
    Failed, ///< the archive could not be written; an earlier file at the destination is kept
};

/// Writes a ZIP archive holding CV_personal.log and every file of reports/ (hidden ones too),
/// all at the top level under their bare names. The archive is built in a temporary file
/// beside `destination` and renamed over it only once complete, so a failure never costs an
/// earlier archive and never passes for success.
ExportResult exportEvidence(const std::filesystem::path& dataFolder,
                            const std::filesystem::path& destination);

/// The text the user sees for a result; empty for success.
std::string_view exportMessage(ExportResult result);

/// "CV_evidence_" + local "yyyy-MM-dd_HHmm" + ".zip", the name the save dialog proposes.
std::string proposedExportName(int64_t now);

} // namespace corvane::evidence
