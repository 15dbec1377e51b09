#include "evidence/Report.h"

#include "capture/DataFolder.h"
#include "evidence/Findings.h"
#include "evidence/Seals.h"
#include "sift/Evidence.h"
#include "util/Files.h"
#include "util/JsonFile.h"
#include "util/LocalTime.h"
#include "vault/Vault.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <vector>

namespace corvane::evidence {
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// A day file or days.json larger than this is not one a pass wrote (at their row caps they
// hold some hundred KB): it is read as corrupt.
constexpr uint64_t kMaxDayFileBytes = uint64_t{8} << 20;

// The fixed pieces of the page, in the order they are assembled; the values go between them.
constexpr std::string_view kHead = "<!doctype html><html><head><meta charset=\"utf-8\">\n"
                                   "<title>Corvane Monitor Report — ";
constexpr std::string_view kStyle =
    "</title>\n"
    "<style>\n"
    "  body{font-family:\"Times New"
    " Roman\",Times,serif;font-size:12pt;line-height:1.5;color:#000;background:#fff;max-width"
    ":7.5in;margin:0 auto;padding:0.6in 0.5in}\n"
    "  h1{font-size:18pt;margin:0 0 2px} h2{font-size:14pt;border-bottom:1px solid"
    " #000;padding-bottom:2px;margin:22px 0 8px}\n"
    "  .sub{color:#333;font-size:10pt;margin-bottom:16px}\n"
    "  .verdict{display:inline-block;font-weight:bold;padding:4px 12px;border:2px solid"
    " #000;margin:8px 0}\n"
    "  .verdict.bad{color:#7a0010;border-color:#7a0010}"
    " .verdict.ok{color:#0a5c2a;border-color:#0a5c2a}\n"
    "  table{width:100%;border-collapse:collapse;font-size:10.5pt;margin:6px 0 10px}\n"
    "  th,td{border:1px solid #777;padding:4px 7px;text-align:left} th{background:#eee}\n"
    "  .none{color:#666;font-style:italic} .mono{font-family:\"Courier"
    " New\",monospace;font-size:10pt}\n"
    "  .fre{font-size:9.5pt;color:#333;border-top:1px solid"
    " #000;margin-top:26px;padding-top:8px}\n"
    "  .seal{background:#f6f6f2;border:1px solid #777;padding:8px 10px;font-family:\"Courier"
    " New\",monospace;font-size:9pt;word-break:break-all;margin:6px 0}\n"
    "  ol{font-size:10.5pt;line-height:1.6} ol li{margin-bottom:4px}\n"
    "  .tool button{font:12pt \"Times New Roman\",serif;padding:6px"
    " 16px;cursor:pointer;border:1px solid #000;background:#eee}\n"
    "  @media print{body{padding:0}.noprint{display:none}}\n"
    "</style></head><body>\n";
constexpr std::string_view kToolAndTitle =
    "<div class=\"tool noprint\" style=\"margin-bottom:14px\"><button"
    " onclick=\"window.print()\">Print / Save as PDF</button></div>\n"
    "<h1>Corvane Monitor — Proximity Intelligence Report</h1>\n"
    "<div class=\"sub\">Date of record: ";
constexpr std::string_view kGenerated = " &middot; Generated: ";
constexpr std::string_view kMode = " &middot; Mode: ";
constexpr std::string_view kVerdictClass = "</div>\n"
                                           "\n"
                                           "<div class=\"verdict ";
constexpr std::string_view kStatus = "\">STATUS: ";
constexpr std::string_view kSentence = "</div>\n"
                                       "<p>";
constexpr std::string_view kOwnerTable =
    "</p>\n"
    "\n"
    "<h2>Registered device (owner)</h2>\n"
    "<table>\n"
    "  <tr><th>BLE proximity MAC</th><th>DirectLink MAC (0x10)</th><th>DirectLink"
    " state</th></tr>\n"
    "  <tr><td class=\"mono\">";
constexpr std::string_view kOwnerCell = "</td><td class=\"mono\">";
constexpr std::string_view kStateCell = "</td><td>";
constexpr std::string_view kDirectLinkTable =
    "</td></tr>\n"
    "</table>\n"
    "\n"
    "<h2>Unauthorized DirectLink devices (TT 0x10 — within ~33 ft, direct handshake)</h2>\n"
    "<table><tr><th>MAC</th><th>Date</th><th>Time</th><th>Proximity</th><th>IDS</th><th>AID</"
    "th><th>Authentication Fraud</th></tr>";
constexpr std::string_view kAwdlTable =
    "</table>\n"
    "\n"
    "<h2>Unauthorized AWDL devices (TT 0x04 — within ~100 ft, mesh relay)</h2>\n"
    "<table><tr><th>MAC</th><th>Date</th><th>Time</th><th>Proximity</th><th>IDS</th><th>AID</"
    "th><th>Authentication Fraud</th></tr>";
constexpr std::string_view kCulpritTable =
    "</table>\n"
    "\n"
    "<h2>Controlling accounts</h2>\n"
    "<table><tr><th>IDS (account manager)</th><th>AID (Organizational Account"
    " Controller)</th><th>Owner confirmations</th><th>From</th><th>To</th></tr>";
constexpr std::string_view kTablesEnd = "</table>\n"
                                        "\n";
constexpr std::string_view kIntegrityEnd = "\n"
                                           "\n";
constexpr std::string_view kGuidance =
    "<h2>What to do with this report</h2>\n"
    "<p>This report identifies devices and Apple accounts that connected to this Mac as its"
    " owner, but it does\n"
    "not reveal the people behind those accounts. Only Apple holds the names tied to an"
    " Apple ID. To obtain them,\n"
    "you take this report and a copy of the evidence to an attorney, who can ask a court to"
    " issue a\n"
    "<b>subpoena to Apple</b> for the subscriber information behind the account identifiers"
    " (the\n"
    "<span class=\"mono\">IDS</span> values listed above). In short: <i>this report &rarr;"
    " attorney &rarr;\n"
    "subpoena to Apple &rarr; the names behind the Apple IDs.</i></p>\n"
    "\n"
    "<h3 style=\"font-size:12pt;margin:14px 0 6px\">Preserve the evidence first</h3>\n"
    "<ol>\n"
    "  <li>In CV-APP click <b>Stop</b> so the log stops changing.</li>\n"
    "  <li>Click <b>Export</b> — CV saves a <span class=\"mono\">.zip</span> containing\n"
    "      <span class=\"mono\">CV_personal.log</span> and this report. Email it to your"
    " attorney or copy it to a\n"
    "      clean USB drive.</li>\n"
    "  <li>Verify integrity on any Mac: <span class=\"mono\">shasum -a 256"
    " CV_personal.log</span>, and compare the\n"
    "      output to the seal above.</li>\n"
    "  <li>If the Evidence Vault is installed, also copy the root-sealed hashes:\n"
    "      <span class=\"mono\">sudo cp -R /var/corvane_vault"
    " /Volumes/YOURDRIVE/</span></li>\n"
    "  <li>Leave the drive unaltered and give it, with this report, to your attorney.</li>\n"
    "</ol>\n"
    "<p style=\"font-size:9.5pt;color:#555\">This is general information about preserving"
    " records, not legal advice.\n"
    "An attorney licensed in your jurisdiction can advise on whether and how to seek a"
    " subpoena.</p>";
constexpr std::string_view kFooter =
    "\n"
    "\n"
    "<div class=\"fre\">\n"
    "  Output is produced by Apple&rsquo;s own <span class=\"mono\">rapportd</span>, <span"
    " class=\"mono\">sharingd</span> and\n"
    "  <span class=\"mono\">bluetoothd</span> system daemons and recorded without"
    " alteration. Such machine-generated records\n"
    "  may qualify as self-authenticating under Federal Rules of Evidence 902(13) and"
    " 902(14). The IDS identifiers above\n"
    "  are the account references an issuer would present to Apple to resolve an account to"
    " a person.\n"
    "</div>\n"
    "</body></html>";

// A report of the demonstration data set must never pass for evidence: the mark heads the page
// and, fixed across the middle, every printed page; no digest or seal of the real log, and no
// advice to take it to an attorney.
constexpr std::string_view kDemoTitle = "DEMONSTRATION DATA — NOT EVIDENCE — ";
constexpr std::string_view kDemoMark =
    "<style>\n"
    "  .demo{border:3px solid #7a0010;color:#7a0010;background:#fff;font:bold 14pt Arial,"
    "sans-serif;letter-spacing:.04em;text-align:center;padding:6px;margin-bottom:14px}\n"
    "  .demo-every{display:none}\n"
    "  @media print{.demo-every{display:block;position:fixed;top:42%;left:0;right:0;"
    "text-align:center;transform:rotate(-28deg);font:bold 34pt Arial,sans-serif;"
    "color:#7a0010;opacity:.22}}\n"
    "</style>\n"
    "<div class=\"demo\" role=\"note\">DEMONSTRATION DATA — NOT EVIDENCE</div>\n"
    "<div class=\"demo-every\" aria-hidden=\"true\">DEMONSTRATION DATA — NOT EVIDENCE</div>\n";
constexpr std::string_view kDemoIntegrity =
    "<h2>Evidence &amp; integrity</h2>\n"
    "<p><b>None.</b> This report was made from the demonstration data set that Corvane Monitor"
    " ships to show\n"
    "what a finding looks like. It describes no real device or account and carries no digest"
    " or seal. Leave\n"
    "demo mode and generate the report again to report on this Mac's own evidence log.</p>";

constexpr std::string_view kExecSentence =
    "This device is under corporate management. In addition, <b>";
constexpr std::string_view kCountSentence =
    "</b> unauthorized controlling account(s) were observed authenticating as the owner of this"
    " machine.";
constexpr std::string_view kAnomalySentence =
    " On a device not enrolled in management, the presence of this mechanism is itself"
    " anomalous.";
constexpr std::string_view kNoForeignSentence =
    "No foreign account was observed authenticating as the owner of this machine on this date.";

constexpr std::string_view kIntegrityHead =
    "<h2>Evidence &amp; integrity</h2>\n"
    "<p>Source evidence: <span class=\"mono\">CV_personal.log</span> (";
constexpr std::string_view kVaultText =
    "), sealed by the root-owned\n"
    "vault daemon at <span class=\"mono\">/var/corvane_vault</span>. The vault runs as root,"
    " independent of\n"
    "the user session, and cannot be modified by user-level processes. Any later edit to the log"
    " breaks the\n"
    "hash chain.</p>\n"
    "<div class=\"seal\">CV_personal seal &nbsp;";
constexpr std::string_view kMasterSeal = "<br>MASTER seal &nbsp;";
constexpr std::string_view kLocalText = "). SHA-256 at report time:</p>\n"
                                        "<div class=\"seal\">";
constexpr std::string_view kNoVaultText =
    "</div>\n"
    "<p><i>The root-owned Evidence Vault is not installed. Install it in CV-APP for continuous,\n"
    "tamper-evident sealing that a user cannot alter.</i></p>";

constexpr std::string_view kDirectLinkProximity = "0–33 ft";
constexpr std::string_view kAwdlProximity = "33–100 ft";
constexpr std::string_view kNoDeviceRow = "<tr><td colspan='7' class='none'>None.</td></tr>";
constexpr std::string_view kNoCulpritRow = "<tr><td colspan='5' class='none'>None.</td></tr>";
constexpr std::string_view kEmDash = "—";

/// A string as it is, an integer as its decimal digits, anything else the empty text.
std::string textOf(const json& object, const char* key) {
    if (!object.is_object()) {
        return {};
    }
    const auto it = object.find(key);
    if (it == object.end()) {
        return {};
    }
    if (it->is_string()) {
        return it->get<std::string>();
    }
    if (it->is_number_integer()) {
        return it->dump();
    }
    return {};
}

/// The array under `key` when every element is an object; otherwise (wrong type, mixed
/// elements) the empty default, as for any wrongly typed value.
json objectsOf(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_array()) {
        return json::array();
    }
    for (const auto& element : *it) {
        if (!element.is_object()) {
            return json::array();
        }
    }
    return *it;
}

std::string orDash(std::string text) {
    return text.empty() ? std::string(kEmDash) : text;
}

/// The day to report: the one asked for, which the days list must name, or else the last one
/// listed. Day names that could leave the sift/ and reports/ folders are refused either way.
util::Expected<std::string> chooseDay(const fs::path& dataFolder,
                                      const std::optional<std::string>& day) {
    const bool asked = day && !day->empty();
    if (asked && !isValidDayName(*day)) {
        return util::Failure{"day \"" + *day + "\"", "not a day name"};
    }
    const std::string daysName = DataFolder::inSift(DataFolder::kDaysFile);
    const auto days = util::readJsonObject(DataFolder(dataFolder).daysFile(), kMaxDayFileBytes);
    const auto names = days ? util::stringArrayAt(*days, "days") : std::nullopt;
    if (!names) {
        return util::Failure{daysName, "missing or not a days list"};
    }
    if (asked) {
        if (std::find(names->begin(), names->end(), *day) == names->end()) {
            return util::Failure{"day \"" + *day + "\"", "not listed in " + daysName};
        }
        return *day;
    }
    if (names->empty()) {
        return util::Failure{daysName, "lists no day"};
    }
    if (!isValidDayName(names->back())) {
        return util::Failure{daysName, "its last day is not a day name"};
    }
    return names->back();
}

/// The number of culprits: "culprits_total" when the file has it (the rows are cut to the
/// most frequent), else the rows.
size_t culpritCount(const json& data, const json& rows) {
    const auto total = data.find("culprits_total");
    if (total != data.end() && total->is_number_unsigned() &&
        total->get<uint64_t>() >= rows.size()) {
        return static_cast<size_t>(total->get<uint64_t>());
    }
    return rows.size();
}

std::string sentence(std::string_view mode, size_t culprits) {
    const std::string n = std::to_string(culprits);
    if (mode == "exec") {
        return std::string(kExecSentence) + n + std::string(kCountSentence);
    }
    if (culprits != 0) {
        return "<b>" + n + std::string(kCountSentence) + std::string(kAnomalySentence);
    }
    return std::string(kNoForeignSentence);
}

std::string deviceRows(const json& rows, std::string_view proximity) {
    if (rows.empty()) {
        return std::string(kNoDeviceRow);
    }
    std::string out;
    for (const auto& row : rows) {
        const auto owner = row.find("owner");
        const bool fraud = owner != row.end() && owner->is_boolean() && owner->get<bool>();
        out += "<tr><td>" + escapeHtml(textOf(row, "mac")) + "</td><td>" +
               escapeHtml(textOf(row, "date")) + "</td><td>" + escapeHtml(textOf(row, "time")) +
               "</td><td>" + std::string(proximity) + "</td><td>" + escapeHtml(textOf(row, "ids")) +
               "</td><td>" + escapeHtml(textOf(row, "aid")) + "</td><td>" +
               std::string(fraud ? "owner" : kEmDash) + "</td></tr>";
    }
    return out;
}

std::string culpritRows(const json& rows) {
    if (rows.empty()) {
        return std::string(kNoCulpritRow);
    }
    std::string out;
    for (const auto& row : rows) {
        out += "<tr><td>" + escapeHtml(textOf(row, "ids")) + "</td><td>" +
               escapeHtml(textOf(row, "aid")) + "</td><td>" +
               escapeHtml(textOf(row, "occurrences")) + "</td><td>" +
               escapeHtml(textOf(row, "first")) + "</td><td>" + escapeHtml(textOf(row, "last")) +
               "</td></tr>";
    }
    return out;
}

/// The owner's devices, when the dashboard file knows them: those on the owner's account the
/// owner has not confirmed, and every known device with when it became known, so a reader
/// sees what the owner cleared.
std::string ownDeviceSections(const json& data) {
    std::string out;
    const auto unknown = data.find("unknown_own_devices");
    if (unknown != data.end() && unknown->is_array()) {
        out += "</table>\n\n<h2>Unconfirmed devices on the owner's account (claiming to be the "
               "owner)</h2>\n<table><tr><th>Device tail</th><th>MAC</th><th>IDS</th><th>First "
               "seen</th><th>Last seen</th></tr>";
        size_t rows = 0;
        for (const auto& row : *unknown) {
            if (!row.is_object()) {
                continue;
            }
            std::string macs;
            for (const auto& mac : util::stringArrayAt(row, "macs").value_or(std::vector<std::string>{})) {
                macs += (macs.empty() ? "" : ", ") + mac;
            }
            out += "<tr><td class=\"mono\">" + escapeHtml(textOf(row, "tail")) +
                   "</td><td class=\"mono\">" + escapeHtml(orDash(macs)) + "</td><td>" +
                   escapeHtml(textOf(row, "ids")) + "</td><td>" + escapeHtml(textOf(row, "first")) +
                   "</td><td>" + escapeHtml(textOf(row, "last")) + "</td></tr>";
            ++rows;
        }
        if (rows == 0) {
            out += "<tr><td colspan='5' class='none'>None.</td></tr>";
        }
    }
    const auto known = data.find("known_devices");
    if (known != data.end() && known->is_array()) {
        out += "</table>\n\n<h2>The owner's known devices</h2>\n<table><tr><th>Device "
               "tail</th><th>Known by</th><th>Since</th></tr>";
        size_t rows = 0;
        for (const auto& row : *known) {
            if (!row.is_object()) {
                continue;
            }
            const std::string learned = textOf(row, "learned");
            const char* how = learned == "confirmed" ? "Confirmed by the owner"
                              : learned == "evidence" ? "The phone's own tokens"
                                                      : "Setup";
            const auto phone = row.find("phone");
            const bool isPhone = phone != row.end() && phone->is_boolean() && phone->get<bool>();
            out += "<tr><td class=\"mono\">" + escapeHtml(textOf(row, "tail")) +
                   (isPhone ? " (phone)" : "") + "</td><td>" + how + "</td><td>" +
                   escapeHtml(textOf(row, "when")) + "</td></tr>";
            ++rows;
        }
        if (rows == 0) {
            out += "<tr><td colspan='3' class='none'>None yet.</td></tr>";
        }
    }
    return out;
}

std::string integritySection(const fs::path& dataFolder, const fs::path& vaultFolder) {
    const fs::path log = DataFolder(dataFolder).evidenceLog();
    const auto size = util::fileSize(log);
    const std::string sizeText = escapeHtml(size ? formatByteCount(*size) : std::string(kEmDash));
    const std::string seal = lastSealLine(vaultFolder, VaultLayout::kSealFile).value_or("");
    if (vault::vaultInstalled(vaultFolder) && !seal.empty()) {
        const std::string master = lastSealLine(vaultFolder, VaultLayout::kMasterFile).value_or("");
        return std::string(kIntegrityHead) + sizeText + std::string(kVaultText) + escapeHtml(seal) +
               std::string(kMasterSeal) + escapeHtml(master) + "</div>";
    }
    const std::string digest = logDigest(log).value_or("unavailable");
    return std::string(kIntegrityHead) + sizeText + std::string(kLocalText) + escapeHtml(digest) +
           std::string(kNoVaultText);
}

constexpr std::string_view kFindingsHead =
    "<h2>Findings and their evidence</h2>\n"
    "<p>Each finding above rests on lines of <span class=\"mono\">CV_personal.log</span>, listed"
    " below under its row: the line number (every line counts, from 1), the byte offset of the"
    " line&rsquo;s first byte (from 0), the capture time and the line as logged. To check one, first"
    " confirm that the log is the one sealed above: its SHA-256 (<span class=\"mono\">shasum -a"
    " 256 CV_personal.log</span>) equals the digest, or the vault&rsquo;s seal, shown under"
    " &ldquo;Evidence &amp; integrity&rdquo;. Then print the line by its number, <span"
    " class=\"mono\">sed -n 'Np' CV_personal.log</span>, or from its offset, <span"
    " class=\"mono\">dd if=CV_personal.log bs=1 skip=O 2&gt;/dev/null | head -n 1</span>, with N"
    " and O from the table; both must print the line shown. The log is only ever appended to, so"
    " the numbers and offsets stay true as it grows; <span class=\"mono\">corvane explain --row"
    " R</span> prints a row&rsquo;s lines the same way. Lines longer than 2 KB are shown cut"
    " (&hellip;).</p>\n";

/// A coordinate as an SVG attribute takes it.
std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

/// The findings per hour as small multiples: one labelled strip per kind, so the chart reads
/// without telling colours apart. Every bar has its count as a tooltip.
std::string timelineSvg(const json& timeline) {
    const auto seriesOf = [&timeline](const char* key) {
        std::vector<int64_t> counts;
        const auto it = timeline.find(key);
        if (it != timeline.end() && it->is_array()) {
            for (const auto& value : *it) {
                counts.push_back(value.is_number_integer() ? value.get<int64_t>() : 0);
            }
        }
        return counts;
    };
    const std::array<std::pair<const char*, const char*>, 4> kinds = {{
        {"directlink", "Foreign DirectLink"},
        {"awdl", "Foreign AWDL"},
        {"culprits", "Foreign accounts"},
        {"access", "Access events"},
    }};
    constexpr double kLeft = 130, kWidth = 520, kStrip = 34, kTop = 8;
    const std::string start = textOf(timeline, "start");
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" role=\"img\" width=\"660\" "
                      "height=\"" + number(kTop + 4 * kStrip + 24) +
                      "\" viewBox=\"0 0 660 " + number(kTop + 4 * kStrip + 24) +
                      "\" font-family=\"Times New Roman,serif\" font-size=\"10\">"
                      "<title>Findings per hour, from " + escapeHtml(orDash(start)) + "</title>";
    for (size_t k = 0; k < kinds.size(); ++k) {
        const auto counts = seriesOf(kinds[k].first);
        const double top = kTop + static_cast<double>(k) * kStrip;
        int64_t peak = 0;
        for (const auto c : counts) {
            peak = std::max(peak, c);
        }
        svg += "<text x=\"0\" y=\"" + number(top + 18) + "\">" + kinds[k].second + " (max " +
               std::to_string(peak) + ")</text>";
        svg += "<line x1=\"" + number(kLeft) + "\" y1=\"" + number(top + kStrip - 6) +
               "\" x2=\"" + number(kLeft + kWidth) + "\" y2=\"" + number(top + kStrip - 6) +
               "\" stroke=\"#000\"/>";
        const double barWidth = counts.empty() ? 0 : kWidth / static_cast<double>(counts.size());
        for (size_t h = 0; h < counts.size(); ++h) {
            if (counts[h] <= 0) {
                continue;
            }
            const double height = (kStrip - 10) * static_cast<double>(counts[h]) /
                                  static_cast<double>(peak);
            svg += "<rect x=\"" + number(kLeft + barWidth * static_cast<double>(h) + 1) +
                   "\" y=\"" + number(top + kStrip - 6 - height) + "\" width=\"" +
                   number(std::max(barWidth - 2, 1.0)) + "\" height=\"" + number(height) +
                   "\" fill=\"#444\"><title>" + std::to_string(counts[h]) + " in hour " +
                   std::to_string(h + 1) + "</title></rect>";
        }
    }
    const double axis = kTop + 4 * kStrip + 12;
    svg += "<text x=\"" + number(kLeft) + "\" y=\"" + number(axis) + "\">" +
           escapeHtml(orDash(start)) + "</text><text x=\"" + number(kLeft + kWidth) +
           "\" y=\"" + number(axis) + "\" text-anchor=\"end\">one bar per hour</text></svg>\n";
    return svg;
}

/// The lines behind every row, from sift/evidence.json; nothing when there is no such file
/// (no live pass since, or demo data).
std::string findingsSection(const fs::path& dataFolder) {
    const auto evidence = Sift::readEvidence(dataFolder);
    if (!evidence) {
        return {};
    }
    std::string out(kFindingsHead);
    if (const auto timeline = Sift::readTimeline(dataFolder)) {
        out += timelineSvg(*timeline);
    }
    const auto findings = Sift::evidenceFindings(*evidence);
    if (findings.empty()) {
        return out + "<p class=\"none\">None.</p>\n";
    }
    for (const auto& finding : findings) {
        const std::string title = "Row " + textOf(finding, "row") + ": " + titleOf(finding);
        out += "<h3 style=\"font-size:11pt;margin:12px 0 4px\">" + escapeHtml(title) +
               "</h3>\n<table><tr><th>Line</th><th>Byte offset</th><th>Captured</th><th>Line as"
               " logged</th></tr>";
        for (const auto& line : objectsOf(finding, "lines")) {
            out += "<tr><td>" + escapeHtml(textOf(line, "line")) + "</td><td>" +
                   escapeHtml(textOf(line, "offset")) + "</td><td>" +
                   escapeHtml(textOf(line, "time")) + "</td><td class=\"mono\"" +
                   " style=\"word-break:break-all\">" + escapeHtml(printable(textOf(line, "text"))) + "</td></tr>";
        }
        out += "</table>\n";
    }
    return out;
}

} // namespace

bool isDemoReport(const fs::path& report) {
    const std::string marked = std::string(kHead) + std::string(kDemoTitle);
    std::ifstream in(report, std::ios::binary);
    std::string head(marked.size(), '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    return in && head == marked;
}

bool isValidDayName(std::string_view day) {
    if (day.empty() || day.size() > 64) {
        return false;
    }
    for (const char c : day) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::string escapeHtml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string formatByteCount(uint64_t bytes) {
    if (bytes == 0) {
        return "Zero KB";
    }
    if (bytes == 1) {
        return "1 byte";
    }
    if (bytes < 1000) {
        return std::to_string(bytes) + " bytes";
    }
    struct Unit {
        const char* name;
        unsigned decimals;
    };
    constexpr std::array<Unit, 6> kUnits{
        {{"KB", 0}, {"MB", 1}, {"GB", 2}, {"TB", 2}, {"PB", 2}, {"EB", 2}}};
    uint64_t unit = 1000;
    for (size_t i = 0; i < kUnits.size(); ++i, unit *= 1000) {
        uint64_t scale = 1;
        for (unsigned d = 0; d < kUnits[i].decimals; ++d) {
            scale *= 10;
        }
        // Rounded half up to the unit's decimals, in integers (no overflow near 2^64).
        const uint64_t step = unit / scale;
        const uint64_t scaled = bytes / step + (bytes % step >= step - bytes % step ? 1 : 0);
        if (scaled >= 1000 * scale && i + 1 < kUnits.size()) {
            continue; // 999.5 KB and up reads as 1 MB
        }
        std::string text = std::to_string(scaled / scale);
        std::string fraction = std::to_string(scaled % scale);
        fraction.insert(
            0, kUnits[i].decimals - std::min<size_t>(fraction.size(), kUnits[i].decimals), '0');
        while (!fraction.empty() && fraction.back() == '0') {
            fraction.pop_back();
        }
        if (!fraction.empty()) {
            text += "." + fraction;
        }
        return text + " " + kUnits[i].name;
    }
    return {}; // not reached: the largest unit always returns
}

util::Expected<fs::path> makeReport(const fs::path& dataFolder,
                                    const std::optional<std::string>& day,
                                    const fs::path& vaultFolder, int64_t now) {
    const auto dayName = chooseDay(dataFolder, day);
    if (!dayName) {
        return dayName.failure();
    }
    const DataFolder layout(dataFolder);
    const auto data = util::readJsonObject(layout.dayFile(*dayName), kMaxDayFileBytes);
    if (!data) {
        return util::Failure{DataFolder::inSift(DataFolder::dayFileName(*dayName)),
                             "missing or not a dashboard file"};
    }

    const std::string verdict = orDash(textOf(*data, "verdict"));
    std::string mode = textOf(*data, "mode");
    if (mode.empty()) {
        mode = "consumer";
    }
    const auto deviceIt = data->find("your_device");
    const json device =
        deviceIt != data->end() && deviceIt->is_object() ? *deviceIt : json::object();
    const json directLink = objectsOf(*data, "rogue_directlink");
    const json awdl = objectsOf(*data, "rogue_awdl");
    const json culprits = objectsOf(*data, "culprits");

    const auto connList =
        util::stringArrayAt(device, "conn_mac").value_or(std::vector<std::string>{});
    std::string connMacs;
    for (size_t i = 0; i < connList.size(); ++i) {
        connMacs += (i ? ", " : "") + connList[i];
    }

    std::error_code ec;
    const bool demo = fs::exists(DataFolder(dataFolder).demoLog(), ec);

    std::string page;
    page.reserve(16384);
    page += kHead;
    if (demo) {
        page += kDemoTitle;
    }
    page += escapeHtml(*dayName);
    page += kStyle;
    if (demo) {
        page += kDemoMark;
    }
    page += kToolAndTitle;
    page += escapeHtml(*dayName);
    page += kGenerated;
    page += escapeHtml(util::formatIsoUtc(now));
    page += kMode;
    page += escapeHtml(mode);
    page += kVerdictClass;
    page += verdict == "COMPROMISED" ? "bad" : "ok";
    page += kStatus;
    page += escapeHtml(verdict);
    page += kSentence;
    page += sentence(mode, culpritCount(*data, culprits));
    page += kOwnerTable;
    page += escapeHtml(orDash(textOf(device, "ble_mac")));
    page += kOwnerCell;
    page += connList.empty() ? std::string("not yet resolved") : escapeHtml(connMacs);
    page += kStateCell;
    page += escapeHtml(orDash(textOf(device, "conn_state")));
    page += kDirectLinkTable;
    page += deviceRows(directLink, kDirectLinkProximity);
    page += kAwdlTable;
    page += deviceRows(awdl, kAwdlProximity);
    page += kCulpritTable;
    page += culpritRows(culprits);
    page += ownDeviceSections(*data);
    page += kTablesEnd;
    if (demo) {
        page += kDemoIntegrity;
        page += "\n</body></html>";
    } else {
        page += integritySection(dataFolder, vaultFolder);
        page += kIntegrityEnd;
        if (*dayName == "ALL") {
            page += findingsSection(dataFolder);
        }
        page += kGuidance;
        page += kFooter;
    }

    util::createFolders(layout.reports());
    const fs::path out = layout.report(*dayName);
    if (!util::writeFileAtomic(out, page)) {
        return util::Failure{"can't write " + DataFolder::inReports(out.filename().string()),
                             std::strerror(errno)};
    }
    return out;
}

} // namespace corvane::evidence
