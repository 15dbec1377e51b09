#include "evidence/Report.h"

#include "ShellCommand.h"
#include "TempDir.h"
#include "TestConfig.h"
#include "vault/Vault.h"

#include <algorithm>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>

using namespace corvane::evidence;
using corvane::test::readText;
using corvane::test::TempDir;
using corvane::test::writeText;
using corvane::vault::shellQuote;
namespace fs = std::filesystem;

namespace {

constexpr int64_t kNow = 1792354240; // 2026-10-18T20:10:40Z, as the regenerate script uses
const fs::path kCases = fs::path(CORVANE_TEST_DATA_DIR) / "evidence" / "report";

/// A data folder with one day file and the days list naming it.
void writeDayFile(const fs::path& data, const std::string& json, const std::string& day = "ALL") {
    writeText(data / "sift" / (day + ".json"), json);
    writeText(data / "sift" / "days.json", "{\"days\":[\"" + day + "\"]}");
}

std::string reportOf(const fs::path& data, const std::string& json) {
    writeDayFile(data, json);
    const auto path = makeReport(data, std::nullopt, data / "no-vault", kNow);
    return path ? readText(*path) : "";
}

} // namespace

// Each case folder holds a data folder, perhaps the vault's seal files, and the report that
// `corvane report` must write for them, byte for byte (PENDING / CLEAN / COMPROMISED, mode
// "exec", empty tables, both integrity variants, hostile values, a demo report).
TEST(ReportGolden, CommandWritesTheExpectedReportForEveryCase) {
    const std::string corvane = std::string(CORVANE_BIN_DIR) + "/corvane";
    int cases = 0;
    for (const auto& entry : fs::directory_iterator(kCases)) {
        if (!entry.is_directory()) {
            continue;
        }
        ++cases;
        SCOPED_TRACE(entry.path().filename().string());
        TempDir work;
        fs::copy(entry.path() / "data", work / "data", fs::copy_options::recursive);
        const auto run = corvane::test::runShell(
            "TZ=UTC " + shellQuote(corvane) + " report --data " +
            shellQuote((work / "data").string()) + " --vault " +
            shellQuote((entry.path() / "vault").string()) + " --now " + std::to_string(kNow));
        const fs::path written = work / "data" / "reports" / "CV-Report-ALL.html";
        ASSERT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(run.output, written.string() + "\n");
        EXPECT_EQ(readText(written), readText(entry.path() / "expected.html"))
            << "after an intended change run tests/data/evidence/report/regenerate";
    }
    EXPECT_EQ(cases, 6);
}

TEST(ReportGolden, HostileValuesAreEscapedInEveryField) {
    const std::string report = readText(kCases / "hostile" / "expected.html");
    // The page itself has no script; every inserted "<script>" arrives as text.
    EXPECT_EQ(report.find("<script"), std::string::npos);
    const std::regex escaped("&lt;script&gt;alert\\(1\\)&lt;/script&gt; &amp; \"q\"");
    // mode, verdict, BLE MAC, the two joined MACs (one cell), state, 5 cells in each device
    // row, 5 culprit cells, the two seal lines.
    const auto count = std::distance(std::sregex_iterator(report.begin(), report.end(), escaped),
                                     std::sregex_iterator());
    EXPECT_EQ(count, 1 + 1 + 1 + 2 + 1 + 5 + 5 + 5 + 2);
    EXPECT_THAT(report, ::testing::HasSubstr("<td>—</td></tr>")); // "owner" as text: no fraud
}

TEST(ReportGolden, DemoReportIsMarkedAndCarriesNoSealOrDigest) {
    const std::string report = readText(kCases / "demo" / "expected.html");
    EXPECT_THAT(report, ::testing::HasSubstr("<title>Corvane Monitor Report — DEMONSTRATION DATA"));
    EXPECT_THAT(report,
                ::testing::HasSubstr("@media print{.demo-every{display:block;position:fixed"));
    // Neither the vault's seals nor the evidence log's digest, nor the attorney guidance.
    EXPECT_EQ(report.find("chain="), std::string::npos);
    EXPECT_EQ(report.find("SHA-256 at report time"), std::string::npos);
    EXPECT_EQ(report.find("subpoena"), std::string::npos);
}

TEST(Report, DayNamesComeFromTheArgumentOrTheListAndNoneLeavesItsFolder) {
    TempDir dir;
    const fs::path data = dir / "data";
    // Targets a traversal would reach: a day file outside sift/.
    writeText(data / "x.json", "{\"verdict\":\"CLEAN\"}");
    writeText(dir / "x.json", "{\"verdict\":\"CLEAN\"}");
    for (const std::string& day :
         std::vector<std::string>{"../x", "../../x", "..", ".", "a/b", "/tmp/x", "x.y", "a b",
                                  "ALL\n", std::string(65, 'a')}) {
        EXPECT_FALSE(isValidDayName(day)) << day;
        EXPECT_FALSE(makeReport(data, day, dir / "v", kNow)) << day;
    }
    // The same names are refused when they come from the days list.
    writeText(data / "sift" / "days.json", "{\"days\":[\"ALL\",\"../x\"]}");
    EXPECT_FALSE(makeReport(data, std::nullopt, dir / "v", kNow));
    EXPECT_FALSE(fs::exists(data / "reports") && !fs::is_empty(data / "reports"));

    const std::string longest(64, 'z');
    writeDayFile(data, "{}", longest);
    EXPECT_TRUE(makeReport(data, longest, dir / "v", kNow));
    writeDayFile(data, "{}", "2026-10-18_b");
    EXPECT_TRUE(makeReport(data, "2026-10-18_b", dir / "v", kNow));

    // The day comes from the argument, else from the last day of a well-formed list.
    const fs::path listed = dir / "listed";
    writeText(listed / "sift" / "ALL.json", "{\"verdict\":\"A\"}");
    writeText(listed / "sift" / "D2.json", "{\"verdict\":\"B\"}");

    EXPECT_FALSE(makeReport(listed, std::nullopt, dir / "v", kNow)) << "no days list";
    for (const char* list :
         {"[]", "{\"days\":[]}", "{\"days\":\"ALL\"}", "{\"days\":[\"ALL\",3]}", "{\"days\":"}) {
        writeText(listed / "sift" / "days.json", list);
        EXPECT_FALSE(makeReport(listed, std::nullopt, dir / "v", kNow)) << list;
    }
    writeText(listed / "sift" / "days.json", "{\"days\":[\"ALL\",\"D2\"]}");
    EXPECT_EQ(makeReport(listed, std::nullopt, dir / "v", kNow),
              listed / "reports" / "CV-Report-D2.html");
    // An empty argument counts as none.
    EXPECT_EQ(makeReport(listed, std::string(), dir / "v", kNow),
              listed / "reports" / "CV-Report-D2.html");
    EXPECT_EQ(makeReport(listed, std::string("ALL"), dir / "v", kNow),
              listed / "reports" / "CV-Report-ALL.html");
    EXPECT_FALSE(makeReport(listed, std::string("D3"), dir / "v", kNow)) << "no such day file";
}

TEST(Report, WrittenWholeOverThePreviousReportOrNotAtAll) {
    TempDir dir;
    const fs::path data = dir.path();
    writeDayFile(data, "[1,2]");
    EXPECT_FALSE(makeReport(data, std::nullopt, dir / "v", kNow)) << "not an object";
    writeDayFile(data, "{\"verdict\":\"PENDING\"}");
    const auto first = makeReport(data, std::nullopt, dir / "v", kNow);
    writeDayFile(data, "{\"verdict\":\"COMPROMISED\"}");
    const auto second = makeReport(data, std::nullopt, dir / "v", kNow);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*first, *second);
    EXPECT_THAT(readText(*second), ::testing::HasSubstr("\"verdict bad\">STATUS: COMPROMISED"));
    EXPECT_EQ(std::distance(fs::directory_iterator(data / "reports"), {}), 1);

    fs::remove_all(data / "reports");
    writeText(data / "reports", "a file where the folder belongs");
    EXPECT_FALSE(makeReport(data, std::nullopt, dir / "v", kNow));
}

TEST(Report, WronglyTypedValuesTakeTheirDefaults) {
    TempDir dir;
    using ::testing::HasSubstr;
    // Integers are shown as digits; other types count as missing.
    std::string r = reportOf(dir.path(), R"({"verdict":7,"mode":false,"your_device":[1],
        "culprits":[{"occurrences":12.5}],"rogue_directlink":[{"mac":"M"},3]})");
    EXPECT_THAT(r, HasSubstr("STATUS: 7</div>"));
    EXPECT_THAT(r, HasSubstr("Mode: consumer</div>"));
    EXPECT_THAT(
        r,
        HasSubstr("<td class=\"mono\">—</td><td class=\"mono\">not yet resolved</td><td>—</td>"));
    EXPECT_THAT(r, HasSubstr("<tr><td></td><td></td><td></td><td></td><td></td></tr>"));
    // A device list with a stray non-object is not a list of rows.
    EXPECT_THAT(r,
                HasSubstr("Authentication Fraud</th></tr><tr><td colspan='7' class='none'>None."));

    r = reportOf(dir.path(),
                 R"({"verdict":"","mode":"","your_device":{"conn_mac":["A",1],"ble_mac":5}})");
    EXPECT_THAT(r, HasSubstr("STATUS: —</div>"));
    EXPECT_THAT(r, HasSubstr("<td class=\"mono\">5</td><td class=\"mono\">not yet resolved</td>"));
    EXPECT_THAT(r, HasSubstr("No foreign account was observed"));
}

// The findings' lines, under the seal: numbers, offsets and the lines as text (markup and
// terminal controls shown, never acted on), the timeline as a static picture, and the way to
// check a line; no section without an evidence file.
TEST(Report, FindingsAndTheirEvidenceUnderTheSeal) {
    using ::testing::HasSubstr;
    TempDir dir;
    const fs::path data = dir.path();
    writeText(data / "CV_personal.log", "line\n");
    writeText(data / "sift/evidence.json", R"({"log":"CV_personal.log","findings":[
        {"row":1,"list":"rogue_directlink","index":0,"title":"Rogue DirectLink address",
         "mac":"AA:BB:CC:DD:EE:01","lines":[{"line":7,"offset":1234,"time":"2026-10-18 09:14:02",
         "text":"CUBonjourDevice AA:BB:CC:DD:EE:01 <script>x</script> \u001b[31m & more"}]}]})");
    writeText(data / "sift/timeline.json",
              R"({"start":"2026-10-17 21:00:00","directlink":[0,2,1],"awdl":[0,0,3],"culprits":[],"access":[1]})");
    const std::string r = reportOf(data, R"({"verdict":"COMPROMISED"})");
    const auto section = r.find("<h2>Findings and their evidence</h2>");
    ASSERT_NE(section, std::string::npos);
    EXPECT_GT(section, r.find("<h2>Evidence &amp; integrity</h2>"));
    EXPECT_LT(section, r.find("<h2>What to do with this report</h2>"));
    EXPECT_THAT(r, HasSubstr("sed -n 'Np' CV_personal.log"));
    EXPECT_THAT(r, HasSubstr("<h3 style=\"font-size:11pt;margin:12px 0 4px\">Row 1: Rogue DirectLink"
                             " address AA:BB:CC:DD:EE:01</h3>"));
    EXPECT_THAT(r, HasSubstr("<tr><td>7</td><td>1234</td><td>2026-10-18 09:14:02</td>"));
    EXPECT_THAT(r, HasSubstr("&lt;script&gt;x&lt;/script&gt; \\x1b[31m &amp; more</td>"));
    EXPECT_EQ(r.find("<script"), std::string::npos);
    EXPECT_EQ(r.find('\x1b'), std::string::npos);
    EXPECT_THAT(r, HasSubstr(">Foreign DirectLink (max 2)</text>"));
    EXPECT_THAT(r, HasSubstr(">Access events (max 1)</text>"));
    EXPECT_EQ(std::count(r.begin(), r.end(), '<') - std::count(r.begin(), r.end(), '>'), 0);

    fs::remove(data / "sift/evidence.json");
    EXPECT_EQ(reportOf(data, R"({"verdict":"COMPROMISED"})").find("Findings and their evidence"),
              std::string::npos);
}

TEST(ByteCount, DecimalUnitsAsTheFileStyleShowsThem) {
    const std::pair<uint64_t, const char*> cases[] = {
        {0, "Zero KB"},
        {1, "1 byte"},
        {999, "999 bytes"},
        {1000, "1 KB"},
        {1499, "1 KB"},
        {1500, "2 KB"},
        {999499, "999 KB"},
        {999500, "1 MB"},
        {1234567, "1.2 MB"},
        {1000000, "1 MB"},
        {12345678901, "12.35 GB"},
        {2000000000, "2 GB"},
        {1050000000, "1.05 GB"},
        {3500000000000, "3.5 TB"},
        {UINT64_MAX, "18.45 EB"},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(formatByteCount(bytes), text) << bytes;
    }
}
