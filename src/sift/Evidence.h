#pragma once

#include "sift/State.h"
#include "util/ReadOnlyFile.h"

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// The evidence behind the dashboard's rows: for every row of sift/ALL.json, the lines of
/// the evidence log it rests on (numbers, offsets, capture times and texts), written by each
/// live pass as sift/evidence.json, and read back line by line from the log itself.
namespace corvane::Sift {

/// The references of one row of a dashboard list.
struct RowRefs {
    std::string list; // the key of the list in ALL.json
    size_t index = 0; // the row's position in it
    std::vector<Ref> refs;
};

/// sift/evidence.json holds at most 570 rows (the dashboard's row caps) of at most
/// `kFirstRefs + kLastRefs` lines. Each line's text is cut as the view lines are; once the
/// texts hold `kEvidenceTextBudget` bytes (as written, escapes included), further lines keep
/// their references and check but have the text "…". Everything else takes under 2 MiB, so
/// the file always stays below `kMaxEvidenceFileBytes`, the limit its readers apply.
inline constexpr uint64_t kEvidenceTextBudget = uint64_t{24} << 20;
inline constexpr uint64_t kMaxEvidenceFileBytes = uint64_t{32} << 20;

/// A view or evidence line as stored: at most `kMaxViewLineBytes` of well-formed UTF-8, cut
/// on a character boundary with "…" after the cut.
std::string cutLine(std::string_view line);

/// A quick checksum (FNV-1a, 64 bits, as 16 hex digits) of the first `kMaxViewLineBytes`
/// bytes of a line as the log holds them: a later reader tells whether the log still holds
/// that line at the same offset.
std::string lineCheck(std::string_view rawLine);

/// The bytes of the line that starts at `offset` in `file`, without its line feed; of a
/// longer line, its first `kMaxViewLineBytes` + 1 bytes (enough to cut it). Nothing when the
/// file ends before the line does.
std::optional<std::string> readLineAt(const util::ReadOnlyFile& file, uint64_t offset);

/// Hours of the timeline: the day that the analysis keeps, and the hour it is in.
inline constexpr size_t kTimelineHours = 25;

/// The evidence document of one derived dashboard. `all` is ALL.json and `rows` the
/// references of its rows; the lines' texts and checks are read from `log`, the analysed log
/// named `logName` and analysed as far as `state` says.
nlohmann::json evidenceDocument(const nlohmann::json& all, const std::vector<RowRefs>& rows,
                                const util::ReadOnlyFile& log, const State& state,
                                std::string_view logName);

/// sift/evidence.json of the data folder, when it is a readable object within its limit.
std::optional<nlohmann::json> readEvidence(const std::filesystem::path& dataFolder);

/// sift/timeline.json (the findings per hour, beside the evidence), when it is readable.
inline constexpr uint64_t kMaxTimelineFileBytes = uint64_t{64} << 10;
std::optional<nlohmann::json> readTimeline(const std::filesystem::path& dataFolder);

/// The findings of an evidence document, each an object, in row order; empty when there are
/// none or the document has no list of them.
std::vector<nlohmann::json> evidenceFindings(const nlohmann::json& evidence);

} // namespace corvane::Sift
