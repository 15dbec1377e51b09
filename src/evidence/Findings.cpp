#include "evidence/Findings.h"

#include "capture/DataFolder.h"
#include "sift/Evidence.h"
#include "util/Files.h"
#include "util/LocalTime.h"
#include "util/Ascii.h"
#include "util/ReadOnlyFile.h"
#include "util/Utf8.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace corvane::evidence {
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string kEvidenceName = DataFolder::inSift(DataFolder::kEvidenceFile);

template <typename T> std::optional<T> valueAt(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end()) {
        return std::nullopt;
    }
    if constexpr (std::is_same_v<T, std::string>) {
        if (it->is_string()) {
            return it->template get<std::string>();
        }
    } else if (it->is_number_unsigned()) {
        return it->template get<T>();
    }
    return std::nullopt;
}

bool selected(const json& finding, const FindingSelector& selector) {
    if (selector.row) {
        return valueAt<uint64_t>(finding, "row") == selector.row;
    }
    if (selector.mac) {
        const auto mac = valueAt<std::string>(finding, "mac");
        return mac && util::upperAscii(*mac) == util::upperAscii(*selector.mac);
    }
    return selector.account && valueAt<std::string>(finding, "account") == selector.account;
}

} // namespace

std::string titleOf(const json& finding) {
    std::string title = valueAt<std::string>(finding, "title").value_or("Finding");
    for (const char* key : {"mac", "account"}) {
        if (const auto value = valueAt<std::string>(finding, key)) {
            title += " " + *value;
        }
    }
    return title;
}

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        // C1 controls are U+0080..U+009F: 0xC2 followed by 0x80..0x9F in UTF-8.
        const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                        static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if ((c < 0x20 && c != '\t') || c == 0x7F || c1) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x",
                          c1 ? static_cast<unsigned char>(text[++i]) : c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

util::Expected<std::vector<ExplainedFinding>> explainFindings(const fs::path& dataFolder,
                                                              const FindingSelector& selector) {
    const auto evidence = Sift::readEvidence(dataFolder);
    if (!evidence) {
        return util::Failure{"no evidence of findings",
                             kEvidenceName + " is missing or unreadable; run a pass first"};
    }
    // Only the two logs a pass reads: the name comes from a file and must not lead elsewhere.
    const auto logName = valueAt<std::string>(*evidence, "log").value_or("");
    if (logName != DataFolder::kEvidenceLog && logName != DataFolder::kDemoLog) {
        return util::Failure{"no evidence of findings", kEvidenceName + " names no evidence log"};
    }
    std::vector<ExplainedFinding> out;
    std::vector<const json*> chosen;
    const auto findings = Sift::evidenceFindings(*evidence);
    for (const auto& finding : findings) {
        if (selected(finding, selector)) {
            chosen.push_back(&finding);
        }
    }
    if (chosen.empty()) {
        return util::Failure{"no such finding", "the last pass found none that matches"};
    }

    const util::ReadOnlyFile log(dataFolder / logName);
    const std::string why = logName + " no longer holds the lines of the last pass";
    const auto analysed = valueAt<uint64_t>(*evidence, "analysed_bytes").value_or(0);
    if (!log.isOpen()) {
        return util::Failure{"can't read " + logName, std::strerror(errno)};
    }
    if (log.size() < analysed) {
        return util::Failure{why, "it is shorter than the " + std::to_string(analysed) +
                                      " bytes analysed (truncated)"};
    }
    if (!Sift::sameLogHead(valueAt<std::string>(*evidence, "head").value_or(""),
                           util::replaceInvalidUtf8(log.bytesAt(0, Sift::kLogHeadBytes)))) {
        return util::Failure{why, "its first bytes differ (replaced)"};
    }
    for (const json* finding : chosen) {
        ExplainedFinding explained{valueAt<uint64_t>(*finding, "row").value_or(0),
                                   titleOf(*finding),
                                   {}};
        const auto lines = finding->find("lines");
        for (const auto& ref : lines != finding->end() && lines->is_array() ? *lines : json::array()) {
            const auto number = valueAt<uint64_t>(ref, "line");
            const auto offset = valueAt<uint64_t>(ref, "offset");
            const std::string where = "line " + std::to_string(number.value_or(0)) + " at byte " +
                                      std::to_string(offset.value_or(0));
            if (!number || !offset || *offset >= analysed) {
                return util::Failure{kEvidenceName + " is corrupt", "bad reference: " + where};
            }
            const auto raw = Sift::readLineAt(log, *offset);
            const bool startsLine = *offset == 0 || log.bytesAt(*offset - 1, 1) == "\n";
            if (!raw || !startsLine ||
                Sift::lineCheck(*raw) != valueAt<std::string>(ref, "check").value_or("")) {
                return util::Failure{why, where + " differs from the line analysed there"};
            }
            explained.lines.push_back({*number, *offset, Sift::cutLine(*raw)});
        }
        out.push_back(std::move(explained));
    }
    return out;
}

std::vector<json> ecsFindings(const json& evidence, std::string_view hostName) {
    std::vector<json> out;
    const auto logName =
        valueAt<std::string>(evidence, "log").value_or(std::string(DataFolder::kEvidenceLog));
    for (const auto& finding : Sift::evidenceFindings(evidence)) {
        json refs = json::array();
        double latest = 0;
        const auto lines = finding.find("lines");
        for (const auto& ref : lines != finding.end() && lines->is_array() ? *lines : json::array()) {
            refs.push_back({{"line", ref.value("line", uint64_t{0})},
                            {"offset", ref.value("offset", uint64_t{0})},
                            {"time", ref.value("time", std::string("—"))}});
            latest = std::max(latest, ref.value("epoch", 0.0));
        }
        const auto list = valueAt<std::string>(finding, "list").value_or("finding");
        const auto mac = valueAt<std::string>(finding, "mac");
        const auto account = valueAt<std::string>(finding, "account");
        // The same finding keeps its first line: with its kind and subject it names it
        // across passes, so a store can drop a record it already holds.
        const std::string identity = list + "|" + mac.value_or("") + "|" + account.value_or("") +
                                     "|" +
                                     (refs.empty() ? std::string() : refs[0]["offset"].dump());
        json record = {
            {"@timestamp", latest > 0 ? util::formatIsoUtc(static_cast<int64_t>(latest))
                                      : util::formatIsoUtc(0)},
            {"message", titleOf(finding)},
            {"event",
             {{"kind", "alert"},
              {"category", json::array({"intrusion_detection"})},
              {"type", json::array({"info"})},
              {"action", list},
              {"id", Sift::lineCheck(identity)},
              {"module", "corvane"},
              {"dataset", "corvane.findings"}}},
            {"host", {{"name", hostName}}},
            {"corvane",
             {{"row", finding.value("row", uint64_t{0})},
              {"list", list},
              {"log", logName},
              {"line", refs.empty() ? json(nullptr) : refs[0]["line"]},
              {"offset", refs.empty() ? json(nullptr) : refs[0]["offset"]},
              {"lines", std::move(refs)}}},
        };
        if (mac) {
            // The form the schema asks for: upper-case pairs joined by "-".
            std::string dashed = util::upperAscii(*mac);
            std::replace(dashed.begin(), dashed.end(), ':', '-');
            record["source"] = {{"mac", dashed}};
        }
        if (account) {
            record["user"] = {{"id", *account}};
        }
        out.push_back(std::move(record));
    }
    return out;
}

} // namespace corvane::evidence
