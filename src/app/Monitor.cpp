#include "app/Monitor.h"

#include "app/Demo.h"
#include "app/Dialogs.h"
#include "baseline/Baseline.h"
#include "capture/DataFolder.h"
#include "evidence/Report.h"
#include "sift/Analysis.h"
#include "sift/Dashboard.h"
#include "util/LocalTime.h"
#include "vault/Vault.h"

#include <QCoreApplication>
#include <QPointer>
#include <QProcess>
#include <QSettings>
#include <QThreadPool>
#include <QUrl>
#include <system_error>
#include <thread>

namespace corvane::app {
namespace fs = std::filesystem;

namespace {

QString toQString(const fs::path& path) {
    return QString::fromStdString(path.string());
}

/// Runs `task` on the GUI thread from any thread. Work that may outlive the monitor goes
/// through the application object and checks a QPointer there, never on its own thread.
void onGuiThread(std::function<void()> task) {
    QMetaObject::invokeMethod(qApp, std::move(task), Qt::QueuedConnection);
}

} // namespace

Monitor::Monitor(MonitorPlaces places, QObject* parent)
    : QObject(parent), places_(std::move(places)),
      capture_(
          places_.dataFolder, [this](Capture::Task task) { post(std::move(task)); },
          places_.logTool) {
    capture_.setChangeCallback([this](Capture::Property property) {
        switch (property) {
        case Capture::Property::isRunning:
            emit isRunningChanged();
            break;
        case Capture::Property::lineCount:
            emit lineCountChanged();
            break;
        case Capture::Property::lastError:
            emit lastErrorChanged();
            break;
        }
    });
    siftTimer_.setInterval(kAnalysisIntervalMs);
    connect(&siftTimer_, &QTimer::timeout, this, [this] { runSift(false); });
    worker_ = std::make_unique<monitor::AnalysisWorker>(places_.dataFolder,
                                                        [this](const Sift::PassResult& result) {
                                                            post([this, failure = result.failure] {
                                                                showAnalysisFailure(failure);
                                                                readVerdict();
                                                                emit analysed();
                                                            });
                                                        });
    readVerdict();
}

Monitor::~Monitor() {
    worker_.reset();
    // A probe still running is of no interest any more.
    for (QProcess* probe : findChildren<QProcess*>()) {
        probe->disconnect(this);
        probe->kill();
        probe->waitForFinished(1000);
    }
}

void Monitor::post(std::function<void()> task) {
    // Queued on this object's (the GUI) thread; dropped if the monitor is gone by then.
    QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

QString Monitor::lastError() const {
    const auto& error = capture_.lastError();
    return error ? QString::fromStdString(*error) : QString();
}

void Monitor::setLastError(const QString& error) {
    capture_.setLastError(error.toStdString());
}

void Monitor::showAnalysisFailure(const std::optional<util::Failure>& failure) {
    if (failure) {
        QString text = QString::fromStdString(failure->what + " \u2014 " + failure->why);
        text[0] = text[0].toUpper();
        analysisError_ = text;
        setLastError(text);
    } else if (!analysisError_.isEmpty() && lastError() == analysisError_) {
        // The analysis files are being saved again; a capture error would have replaced it.
        analysisError_.clear();
        capture_.setLastError(std::nullopt);
    }
}

bool Monitor::onboarded() const {
    return QSettings().value(kOnboardedKey, false).toBool();
}

void Monitor::setOnboarded(bool value) {
    if (value == onboarded()) {
        return;
    }
    QSettings().setValue(kOnboardedKey, value);
    emit onboardedChanged();
}

void Monitor::setHasFullDiskAccess(bool value) {
    if (value != hasFullDiskAccess_) {
        hasFullDiskAccess_ = value;
        emit hasFullDiskAccessChanged();
    }
}

void Monitor::setDemoLoaded(bool value) {
    if (value != demoLoaded_) {
        demoLoaded_ = value;
        emit demoLoadedChanged();
    }
}

void Monitor::setVaultActive(bool value) {
    if (value != vaultActive_) {
        vaultActive_ = value;
        emit vaultActiveChanged();
    }
}

void Monitor::raiseReloadToken() {
    ++reloadToken_;
    emit reloadTokenChanged();
}

void Monitor::readVerdict() {
    const auto verdict = Sift::readVerdict(places_.dataFolder);
    const QString text = verdict ? QString::fromStdString(*verdict) : QString();
    if (text != verdict_) {
        verdict_ = text;
        emit verdictChanged();
    }
}

void Monitor::appeared() {
    std::error_code ec;
    fs::create_directories(places_.dataFolder, ec);
    for (const std::string_view name : kDashboardPageFiles) {
        const fs::path source = places_.resourcesDir / name;
        if (!fs::is_regular_file(source, ec)) {
            continue;
        }
        const fs::path target = places_.dataFolder / name;
        fs::remove(target, ec);
        fs::copy_file(source, target, ec);
    }
    setDemoLoaded(fs::exists(DataFolder(places_.dataFolder).demoLog(), ec));
    setVaultActive(vault::vaultInstalled(places_.vaultFolder));
    checkFullDiskAccess();
    raiseReloadToken();
    if (onboarded()) {
        startMonitoring();
    }
}

void Monitor::checkFullDiskAccess() {
    // A child process, so the probe never holds up the GUI thread; its outcome comes back
    // through the event loop.
    auto* probe = new QProcess(this);
    probe->setStandardOutputFile(QProcess::nullDevice());
    probe->setStandardErrorFile(QProcess::nullDevice());
    connect(probe, &QProcess::finished, this, [this, probe](int code, QProcess::ExitStatus status) {
        setHasFullDiskAccess(status == QProcess::NormalExit && code == 0);
        probe->deleteLater();
    });
    connect(probe, &QProcess::errorOccurred, this, [this, probe](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            setHasFullDiskAccess(false);
            probe->deleteLater();
        }
    });
    probe->start(toQString(places_.logTool), {"show", "--last", "1s", "--style", "syslog"});
}

void Monitor::openFullDiskAccessSettings() {
    const QUrl url = Dialogs::fullDiskAccessSettingsUrl();
    if (url.isValid() && !url.isEmpty()) {
        Dialogs::openUrl(url);
    }
}

void Monitor::startMonitoring() {
    checkFullDiskAccess();
    capture_.start();
    siftTimer_.start(); // restarting replaces the running timer
    runSift(true);
}

void Monitor::stopMonitoring() {
    capture_.stop();
    siftTimer_.stop();
    runSift(true);
}

void Monitor::runSift(bool reload) {
    if (!reload) {
        worker_->request();
        return;
    }
    worker_->requestThen([this] { post([this] { raiseReloadToken(); }); });
}

void Monitor::resetAnalysis() {
    worker_->runExclusive([folder = places_.dataFolder] { clearAnalysisFiles(folder); });
}

void Monitor::rerunSetup() {
    worker_->runExclusive([folder = places_.dataFolder] {
        std::error_code ec;
        fs::remove(Baseline::baselinePath(folder), ec);
    });
    setOnboarded(false);
}

void Monitor::finish() {
    setOnboarded(true);
    runSift(true);
}

void Monitor::openReport(const std::optional<QString>& day) {
    std::optional<std::string> dayText;
    if (day) {
        dayText = day->toStdString();
    }
    QThreadPool::globalInstance()->start([places = places_, dayText] {
        const auto report = evidence::makeReport(places.dataFolder, dayText, places.vaultFolder,
                                                 static_cast<int64_t>(util::nowEpoch()));
        if (report) {
            onGuiThread([url = QUrl::fromLocalFile(toQString(*report))] { Dialogs::openUrl(url); });
        }
    });
}

void Monitor::installVault() {
    if (vaultBusy_) {
        return;
    }
    vaultBusy_ = true;
    emit vaultBusyChanged();
    QPointer<Monitor> self(this);
    const fs::path installer = places_.resourcesDir / VaultLayout::kInstaller;
    std::thread([self, installer, vaultFolder = places_.vaultFolder] {
        vault::installVault(installer);
        const bool installed = vault::vaultInstalled(vaultFolder);
        onGuiThread([self, installed] {
            if (self) {
                self->vaultBusy_ = false;
                emit self->vaultBusyChanged();
                self->setVaultActive(installed);
            }
        });
    }).detach();
}

void Monitor::loadDemo() {
    worker_->runExclusive([this, folder = places_.dataFolder] {
        writeDemoFiles(folder);
        post([this] {
            setDemoLoaded(true);
            readVerdict();
            raiseReloadToken();
        });
    });
}

void Monitor::clearDemo() {
    std::error_code ec;
    fs::remove(DataFolder(places_.dataFolder).demoLog(), ec);
    setDemoLoaded(false);
    resetAnalysis();
    runSift(true);
}

void Monitor::learnOwner(double since, std::function<void(std::optional<QString>)> done) {
    worker_->runExclusive([this, since, done = std::move(done), folder = places_.dataFolder] {
        const auto result = Baseline::learn(folder, since, util::nowEpoch());
        std::optional<QString> learned;
        const std::optional<util::Failure> failure = result.failure;
        // A phone that could not be written down is not learned: say why instead.
        if (result.bleMac && !failure) {
            learned = QString::fromStdString(*result.bleMac);
        }
        post([this, done, learned, failure] {
            showAnalysisFailure(failure);
            done(learned);
        });
    });
}

void Monitor::evaluateOwner(std::function<void(std::optional<QString>, QString)> done) {
    worker_->runExclusive([this, done = std::move(done), folder = places_.dataFolder] {
        const auto refreshed = Baseline::refresh(folder, Sift::kBaselineWindow, util::nowEpoch());
        std::optional<QString> connMac;
        if (refreshed.connMac) {
            connMac = QString::fromStdString(*refreshed.connMac);
        }
        post([this, done, connMac, state = QString::fromStdString(refreshed.state),
              failure = refreshed.failure] {
            showAnalysisFailure(failure);
            done(connMac, state);
        });
    });
}

void Monitor::removeEverything() {
    capture_.stop();
    siftTimer_.stop();
    worker_->drain();
    if (vault::vaultInstalled(places_.vaultFolder)) {
        vault::removeVault();
    }
    std::error_code ec;
    fs::remove_all(places_.dataFolder, ec);
    QSettings().remove(kOnboardedKey);
    emit onboardedChanged();
}

void Monitor::shutdown() {
    siftTimer_.stop();
    capture_.stop();
}

} // namespace corvane::app
