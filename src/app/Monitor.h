#pragma once

#include "capture/Capture.h"
#include "monitor/AnalysisWorker.h"
#include "util/Expected.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

namespace corvane::app {

/// Where the monitor finds the world. The application passes the real places; tests pass
/// temporary ones.
struct MonitorPlaces {
    std::filesystem::path dataFolder;
    std::filesystem::path vaultFolder;
    std::filesystem::path resourcesDir;
    std::filesystem::path logTool;
};

/// The application's one monitor: the capture, the 45-second analysis timer and the serial
/// analysis worker, with the state the control panel shows. It lives as long as the process;
/// windows only show it, so reopening the control panel never starts a second capture.
///
/// A thin QObject over the operations of src/monitor/: everything here runs on the GUI thread.
/// Work that must not overlap a pass (passes, demo files, resetting the analysis, the setup
/// assistant's baseline calls) runs on the worker; other slow work (reports, the vault,
/// uninstall) through runThenCallback.
class Monitor : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)
    Q_PROPERTY(qint64 lineCount READ lineCount NOTIFY lineCountChanged)
    Q_PROPERTY(QString lastError READ lastError NOTIFY lastErrorChanged)
    Q_PROPERTY(qint64 reloadToken READ reloadToken NOTIFY reloadTokenChanged)
    Q_PROPERTY(bool hasFullDiskAccess READ hasFullDiskAccess NOTIFY hasFullDiskAccessChanged)
    Q_PROPERTY(bool demoLoaded READ demoLoaded NOTIFY demoLoadedChanged)
    Q_PROPERTY(bool vaultActive READ vaultActive NOTIFY vaultActiveChanged)
    Q_PROPERTY(bool vaultBusy READ vaultBusy NOTIFY vaultBusyChanged)
    Q_PROPERTY(bool onboarded READ onboarded NOTIFY onboardedChanged)
    Q_PROPERTY(QString verdict READ verdict NOTIFY verdictChanged)

  public:
    static constexpr int kAnalysisIntervalMs = 45'000;
    static constexpr const char* kOnboardedKey = "cv_onboarded";

    explicit Monitor(MonitorPlaces places, QObject* parent = nullptr);
    ~Monitor() override;

    const MonitorPlaces& places() const { return places_; }
    const std::filesystem::path& dataFolder() const { return places_.dataFolder; }

    bool isRunning() const { return capture_.isRunning(); }
    qint64 lineCount() const { return capture_.lineCount(); }
    QString lastError() const;
    qint64 reloadToken() const { return reloadToken_; }
    bool hasFullDiskAccess() const { return hasFullDiskAccess_; }
    bool demoLoaded() const { return demoLoaded_; }
    bool vaultActive() const { return vaultActive_; }
    bool vaultBusy() const { return vaultBusy_; }
    bool onboarded() const;
    /// The dashboard's verdict word, empty until a summary exists.
    QString verdict() const { return verdict_; }
    /// Whether the analysis timer exists (monitoring was started and not stopped).
    bool timerActive() const { return siftTimer_.isActive(); }
    /// What the capture is doing, for the banner and the tray: before setup it is idle;
    /// after it, not capturing is either the owner's Stop or a log stream that ended (or
    /// never started) by itself while monitoring was on.
    enum class Watch { Idle, Running, Stopped, SourceEnded };
    Watch watch() const;

    /// The control panel appeared: pages copied in, demo and vault state read, access
    /// probed, the dashboard reloaded, and monitoring started once setup is done.
    void appeared();
    void checkFullDiskAccess();
    void openFullDiskAccessSettings();
    void startMonitoring();
    void stopMonitoring();
    void runSift(bool reload);
    void resetAnalysis();
    void rerunSetup();
    void finish();
    void openReport(const std::optional<QString>& day);
    /// "This is my device": the device of `tail` joins the owner's known devices (on the
    /// worker, between passes), then a pass re-derives the dashboard and reloads it. A tail
    /// that is not one, or a file that cannot be saved, says why in the error line.
    void trustDevice(const QString& tail);
    /// Runs the installer off the window's thread, so the window keeps painting while the
    /// system asks for the administrator password; a vault that did not come says why in the
    /// error line.
    void installVault();
    void setLastError(const QString& error);
    void loadDemo();
    void clearDemo();

    /// The owner baseline calls of the setup assistant, on the worker so they never overlap
    /// a pass. `done` runs on the GUI thread with the learned BLE address (learning) or the
    /// BLE address, first connection address and state word that the baseline file now holds
    /// (evaluating), the file the dashboard reads too.
    void learnOwner(double since, std::function<void(std::optional<QString>)> done);
    void evaluateOwner(
        std::function<void(std::optional<QString>, std::optional<QString>, QString)> done);

    /// The uninstall's removal: stops capture and timer without the final pass; then, off the
    /// window's thread, waits for a work item already running and removes the vault when
    /// present and the data folder; back on it, removes the setting, forgets the verdict and
    /// demo state, so every surface shows the empty state, and calls `done` with whether the
    /// vault is gone. Nothing recreates the folder afterwards.
    void removeEverything(std::function<void(bool vaultRemoved)> done);

    /// For the application's exit: writes the stop marker and ends the stream.
    void shutdown();

  signals:
    void isRunningChanged();
    void lineCountChanged();
    void lastErrorChanged();
    void reloadTokenChanged();
    void hasFullDiskAccessChanged();
    void demoLoadedChanged();
    void vaultActiveChanged();
    void vaultBusyChanged();
    void onboardedChanged();
    void verdictChanged();
    /// A pass (or demo load) has finished; the dashboard files are current.
    void analysed();

  private:
    void setHasFullDiskAccess(bool value);
    void setDemoLoaded(bool value);
    void setVaultActive(bool value);
    void setOnboarded(bool value);
    void raiseReloadToken();
    void readVerdict();
    void post(std::function<void()> task);
    /// Puts a failed save of the analysis state or the baseline into the error line, and
    /// clears it once saving works again.
    void showAnalysisFailure(const std::optional<util::Failure>& failure) {
        showFailure(failure, analysisError_);
    }
    /// Puts a failure into the error line and remembers it in `shown`; without one, clears
    /// the line when it still shows what `shown` remembers.
    void showFailure(const std::optional<util::Failure>& failure, QString& shown);

    const MonitorPlaces places_;
    Capture capture_;
    QTimer siftTimer_;
    qint64 reloadToken_ = 0;
    bool hasFullDiskAccess_ = true;
    bool demoLoaded_ = false;
    bool vaultActive_ = false;
    bool vaultBusy_ = false;
    QString verdict_;
    QString analysisError_; // the error line's text when it came from the analysis
    QString trustError_;    // ... or from confirming a device
    std::shared_ptr<monitor::AnalysisWorker> worker_; // last: its items post to the above
};

} // namespace corvane::app
