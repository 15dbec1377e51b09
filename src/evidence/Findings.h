#pragma once

#include "util/Expected.h"

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// The findings of the last pass with the evidence-log lines behind them: read back from the
/// log itself for an examiner, and as one record per finding for a central store.
namespace corvane::evidence {

/// Which findings to explain: those of an address, of an account, or one row (numbered as
/// sift/evidence.json numbers them, from 1).
struct FindingSelector {
    std::optional<std::string> mac;
    std::optional<std::string> account;
    std::optional<uint64_t> row;
};

struct ExplainedLine {
    uint64_t line = 0;
    uint64_t offset = 0;
    std::string text; // as the log holds it, cut as view lines are
};

struct ExplainedFinding {
    uint64_t row = 0;
    std::string title; // what the row is, with its address or account
    std::vector<ExplainedLine> lines;
};

/// The selected findings with their lines, read at their offsets from the evidence log
/// (never by scanning it). Fails, with nothing to print, when there is no evidence file, no
/// finding matches, or the log no longer holds a line the references name: a log replaced,
/// truncated or changed since the pass.
util::Expected<std::vector<ExplainedFinding>> explainFindings(
    const std::filesystem::path& dataFolder, const FindingSelector& selector);

/// A finding's heading: what it is, then its address and account where it has them.
std::string titleOf(const nlohmann::json& finding);

/// A text safe to print on a terminal: control characters (C0, DEL and C1) as "\xNN".
std::string printable(std::string_view text);

/// One record per finding of sift/evidence.json, with Elastic Common Schema field names
/// ("@timestamp", "event.*", "source.mac", "user.id", "host.name") and the line references
/// under "corvane". `hostName` names this Mac.
std::vector<nlohmann::json> ecsFindings(const nlohmann::json& evidence, std::string_view hostName);

} // namespace corvane::evidence
