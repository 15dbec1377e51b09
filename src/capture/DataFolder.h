#pragma once

#include "capture/DashboardPages.h"

#include <array>
#include <filesystem>
#include <string>
#include <string_view>

namespace corvane {

/// The layout of the data folder: every name the program gives a file or folder there, and
/// where each one lies below a given folder. The names are written here and nowhere else.
///
///   CV_personal.log      the evidence log (append-only, written by the capture)
///   CV_capture.lock      held by whoever captures
///   CV_demo.log          the demo marker; while it exists passes analyse it instead
///   CV_view.log          the view log the raw-log page shows
///   cv_state_live.json   the analyser's state (cv_state_demo.json for the demo)
///   sift/                the dashboard files, their evidence and timeline, the owner baseline
///   reports/             CV-Report-<day>.html, the evidence reports
///   radar.html …         the dashboard pages (kDashboardPageFiles)
struct DataFolder {
    static constexpr std::string_view kEvidenceLog = "CV_personal.log";
    static constexpr std::string_view kCaptureLock = "CV_capture.lock";
    static constexpr std::string_view kDemoLog = "CV_demo.log";
    static constexpr std::string_view kViewLog = "CV_view.log";
    static constexpr std::string_view kLiveState = "cv_state_live.json";
    static constexpr std::string_view kDemoState = "cv_state_demo.json";
    static constexpr std::string_view kSift = "sift";
    static constexpr std::string_view kReports = "reports";
    static constexpr std::string_view kAllFile = "ALL.json";
    static constexpr std::string_view kDaysFile = "days.json";
    static constexpr std::string_view kSummaryFile = "summary.json";
    static constexpr std::string_view kBaselineFile = "baseline.json";
    static constexpr std::string_view kEvidenceFile = "evidence.json";
    static constexpr std::string_view kTimelineFile = "timeline.json";
    static constexpr std::string_view kReportPrefix = "CV-Report-";
    static constexpr std::string_view kReportSuffix = ".html";
    static constexpr std::string_view kRadarPage = "radar.html";

    /// The three dashboard files of sift/ the pages read.
    static constexpr std::array<std::string_view, 3> kDashboardFiles{kAllFile, kDaysFile,
                                                                     kSummaryFile};
    /// The files the program keeps at the top of the folder besides the pages.
    static constexpr std::array<std::string_view, 6> kTopFiles{
        kEvidenceLog, kDemoLog, kLiveState, kDemoState, kViewLog, kCaptureLock};

    explicit DataFolder(std::filesystem::path folder) : root(std::move(folder)) {}

    std::filesystem::path root;

    std::filesystem::path evidenceLog() const { return root / kEvidenceLog; }
    std::filesystem::path captureLock() const { return root / kCaptureLock; }
    std::filesystem::path demoLog() const { return root / kDemoLog; }
    std::filesystem::path viewLog() const { return root / kViewLog; }
    std::filesystem::path liveState() const { return root / kLiveState; }
    std::filesystem::path demoState() const { return root / kDemoState; }
    std::filesystem::path sift() const { return root / kSift; }
    std::filesystem::path reports() const { return root / kReports; }
    std::filesystem::path allFile() const { return sift() / kAllFile; }
    std::filesystem::path daysFile() const { return sift() / kDaysFile; }
    std::filesystem::path summaryFile() const { return sift() / kSummaryFile; }
    std::filesystem::path baselineFile() const { return sift() / kBaselineFile; }
    /// The log lines behind each dashboard row, and the findings per hour.
    std::filesystem::path evidenceFile() const { return sift() / kEvidenceFile; }
    std::filesystem::path timelineFile() const { return sift() / kTimelineFile; }
    std::filesystem::path radarPage() const { return root / kRadarPage; }
    /// sift/<day>.json: the dashboard file of one day ("ALL" for all days).
    std::filesystem::path dayFile(std::string_view day) const { return sift() / dayFileName(day); }
    /// reports/CV-Report-<day>.html.
    std::filesystem::path report(std::string_view day) const { return reports() / reportName(day); }

    static std::string dayFileName(std::string_view day) { return std::string(day) + ".json"; }
    static std::string reportName(std::string_view day) {
        return std::string(kReportPrefix) + std::string(day) + std::string(kReportSuffix);
    }
    static bool isReportName(std::string_view name) {
        return name.starts_with(kReportPrefix) && name.ends_with(kReportSuffix);
    }
    /// A name below sift/ as the user reads it in a message: "sift/days.json".
    static std::string inSift(std::string_view name) {
        return std::string(kSift) + "/" + std::string(name);
    }
    /// A name below reports/ as the user reads it in a message.
    static std::string inReports(std::string_view name) {
        return std::string(kReports) + "/" + std::string(name);
    }
};

/// The Evidence Vault's names: where the root-owned daemon keeps its seals and logs (each
/// behind the test-only location prefix) and the installer shipped in the resources.
struct VaultLayout {
    static constexpr std::string_view kFolder = "/var/corvane_vault";
    static constexpr std::string_view kDaemonScript = "/usr/local/bin/corvane_vault_daemon.sh";
    static constexpr std::string_view kDaemonLog = "/var/log/corvane_vault.log";
    static constexpr std::string_view kDaemonErrorLog = "/var/log/corvane_vault_error.log";
    static constexpr std::string_view kSealFile = "CV_personal.sha256";
    static constexpr std::string_view kMasterFile = "MASTER_SEAL.sha256";
    /// The installer script in the resources folder.
    static constexpr std::string_view kInstaller = "install_vault_daemon.sh";
};

} // namespace corvane
