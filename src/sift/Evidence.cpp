#include "sift/Evidence.h"

#include "capture/DataFolder.h"

#include "sift/Extract.h"
#include "util/Files.h"
#include "util/JsonFile.h"
#include "util/LocalTime.h"
#include "util/Utf8.h"

#include <cstdio>
#include <cstring>
#include <map>

namespace corvane::Sift {
using nlohmann::json;

namespace {

constexpr std::string_view kDash = "—";

/// What each dashboard list holds, for people; a list not named here goes by its key.
std::string listTitle(const std::string& list) {
    static const std::map<std::string, std::string> titles = {
        {"rogue_directlink", "Rogue DirectLink address"},
        {"rogue_awdl", "Rogue AWDL address"},
        {"culprits", "Account authenticating as the owner"},
        {"access_events", "Access event"},
        {"provision_pairs", "Provisioning pair"},
        {"ble_provisions", "Bluetooth provisioning"},
        {"kbd_evals", "Keyboard evaluation"},
        {"unknown_own_devices", "Unknown device on the owner's account"},
    };
    const auto it = titles.find(list);
    return it != titles.end() ? it->second : list;
}

/// The row's text under the first of `keys` that holds one other than "—".
std::optional<std::string> rowText(const json& row, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        const auto it = row.find(key);
        if (it != row.end() && it->is_string() && it->get_ref<const std::string&>() != kDash &&
            !it->get_ref<const std::string&>().empty()) {
            return it->get<std::string>();
        }
    }
    return std::nullopt;
}

/// Bytes a text takes once written as a JSON string (quotes left out).
uint64_t escapedSize(std::string_view text) {
    uint64_t size = 0;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        size += c == '"' || c == '\\' ? 2 : u < 0x20 ? 6 : 1;
    }
    return size;
}

} // namespace

std::string cutLine(std::string_view line) {
    return util::isValidUtf8(line) ? capped(line, kMaxViewLineBytes)
                                   : capped(util::replaceInvalidUtf8(line), kMaxViewLineBytes);
}

std::string lineCheck(std::string_view rawLine) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : rawLine.substr(0, kMaxViewLineBytes)) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::optional<std::string> readLineAt(const util::ReadOnlyFile& file, uint64_t offset) {
    // Most lines take a few hundred bytes: one small read, a larger one only for a long line.
    for (const size_t want : {size_t{4096}, kMaxViewLineBytes + 1}) {
        std::string out = file.bytesAt(offset, want);
        if (const size_t lf = out.find('\n'); lf != std::string::npos) {
            out.resize(lf);
            return out;
        }
        if (out.size() < want) { // the file ends inside the line: no line the pass analysed
            return std::nullopt;
        }
        if (want > kMaxViewLineBytes) {
            return out; // longer than any stored line: it is cut
        }
    }
    return std::nullopt;
}

json evidenceDocument(const json& all, const std::vector<RowRefs>& rows,
                      const util::ReadOnlyFile& log, const State& state, std::string_view logName) {
    json findings = json::array();
    uint64_t textBytes = 0;
    for (const auto& row : rows) {
        const auto list = all.find(row.list);
        if (list == all.end() || !list->is_array() || row.index >= list->size()) {
            continue; // a list the dashboard left empty
        }
        const json& shown = (*list)[row.index];
        json lines = json::array();
        for (const Ref& ref : row.refs) {
            const auto raw = readLineAt(log, ref.offset);
            std::string text = raw ? cutLine(*raw) : std::string(kDash);
            textBytes += escapedSize(text);
            if (textBytes > kEvidenceTextBudget) {
                text = "…";
            }
            // The line's capture time, found as the pass found it.
            const LineScan scan(raw ? std::string_view(*raw) : std::string_view());
            const auto stamp = captureStamp(scan);
            const double epoch = stamp ? captureEpoch(*stamp) : 0;
            lines.push_back({{"line", ref.line},
                             {"offset", ref.offset},
                             {"time", util::formatTimestamp(epoch)},
                             {"epoch", epoch},
                             {"check", raw ? lineCheck(*raw) : std::string(kDash)},
                             {"text", std::move(text)}});
        }
        json finding = {{"row", findings.size() + 1},
                        {"list", row.list},
                        {"index", row.index},
                        {"title", listTitle(row.list)},
                        {"lines", std::move(lines)}};
        if (const auto mac = rowText(shown, {"mac"})) {
            finding["mac"] = *mac;
        }
        if (const auto account = rowText(shown, {"ids", "account"})) {
            finding["account"] = *account;
        }
        findings.push_back(std::move(finding));
    }
    return {{"log", logName},
            {"head", state.head},
            {"analysed_bytes", state.offset},
            {"analysed_lines", state.lines},
            {"findings", std::move(findings)}};
}

std::optional<json> readEvidence(const std::filesystem::path& dataFolder) {
    return util::readJsonObject(DataFolder(dataFolder).evidenceFile(), kMaxEvidenceFileBytes);
}

std::optional<json> readTimeline(const std::filesystem::path& dataFolder) {
    return util::readJsonObject(DataFolder(dataFolder).timelineFile(), kMaxTimelineFileBytes);
}

std::vector<json> evidenceFindings(const json& evidence) {
    std::vector<json> out;
    const auto it = evidence.find("findings");
    if (it == evidence.end() || !it->is_array()) {
        return out;
    }
    for (const auto& finding : *it) {
        if (finding.is_object()) {
            out.push_back(finding);
        }
    }
    return out;
}

} // namespace corvane::Sift
