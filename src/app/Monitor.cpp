#include "app/Monitor.h"

#include "app/Async.h"
#include "app/Dialogs.h"
#include "capture/DataFolder.h"
#include "monitor/Operations.h"
#include "platform/FullDiskAccess.h"
#include "platform/Platform.h"
#include "sift/Dashboard.h"
#include "util/LocalTime.h"
#include "vault/Vault.h"

#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QUrl>

namespace corvane::app {
namespace fs = std::filesystem;

namespace {

QString toQString(const fs::path& path) {
    return QString::fromStdString(path.string());
}

/// The demo's canned dashboard files, compiled in byte for byte as the dashboard reads them.
std::optional<std::string> cannedDemoFile(std::string_view name) {
    QFile canned(QStringLiteral(":/demo/") +
                 QString::fromUtf8(name.data(), qsizetype(name.size())));
    if (!canned.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    return canned.readAll().toStdString();
}

QStringList toQStringList(const std::vector<std::string>& texts) {
    QStringList list;
    for (const auto& text : texts) {
        list << QString::fromStdString(text);
    }
    return list;
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
    worker_ = std::make_shared<monitor::AnalysisWorker>(places_.dataFolder,
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
    // A running item reports to this object: let it finish now. An uninstall still under
    // way may keep the worker itself a little longer.
    worker_->drain();
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

void Monitor::showFailure(const std::optional<util::Failure>& failure, QString& shown) {
    if (failure) {
        QString text = QString::fromStdString(failure->what + " \u2014 " + failure->why);
        text[0] = text[0].toUpper();
        shown = text;
        setLastError(text);
    } else if (!shown.isEmpty() && lastError() == shown) {
        // It works again; a capture error would have replaced the text.
        shown.clear();
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
    monitor::installPages(places_.dataFolder, places_.resourcesDir);
    setDemoLoaded(monitor::demoLoaded(places_.dataFolder));
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
    probe->start(toQString(places_.logTool), toQStringList(platform::accessProbeArguments()));
}

void Monitor::openFullDiskAccessSettings() {
    const QUrl url(QString::fromStdString(platform::fullDiskAccessSettingsUrl()));
    if (url.isValid() && !url.isEmpty()) {
        Dialogs::openUrl(url);
    }
}

Monitor::Watch Monitor::watch() const {
    if (isRunning()) {
        return Watch::Running;
    }
    if (siftTimer_.isActive()) {
        return Watch::SourceEnded;
    }
    return onboarded() ? Watch::Stopped : Watch::Idle;
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
    worker_->runExclusive([folder = places_.dataFolder] { monitor::resetAnalysis(folder); });
}

void Monitor::rerunSetup() {
    worker_->runExclusive([folder = places_.dataFolder] { monitor::forgetOwner(folder); });
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
    runThenCallback(
        this,
        [places = places_, dayText] {
            return monitor::report(places.dataFolder, dayText, places.vaultFolder,
                                   static_cast<int64_t>(util::nowEpoch()));
        },
        [](const util::Expected<fs::path>& report) {
            if (report) {
                Dialogs::openUrl(QUrl::fromLocalFile(toQString(*report)));
            }
        });
}

void Monitor::trustDevice(const QString& tail) {
    worker_->runExclusive([this, folder = places_.dataFolder, tail = tail.toStdString()] {
        const auto failure = monitor::trustDevice(folder, tail, util::nowEpoch());
        post([this, failure] { showFailure(failure, trustError_); });
    });
    runSift(true);
}

void Monitor::installVault() {
    if (vaultBusy_) {
        return;
    }
    vaultBusy_ = true;
    emit vaultBusyChanged();
    runThenCallback(
        this,
        [installer = places_.resourcesDir / VaultLayout::kInstaller,
         vaultFolder = places_.vaultFolder] {
            auto problem = vault::installVault(installer);
            const bool installed = vault::vaultInstalled(vaultFolder);
            if (!problem && !installed) {
                problem = "the installer ran, but the vault folder is not there";
            }
            return std::pair(installed, problem);
        },
        [this](const auto& outcome) {
            const auto& [installed, problem] = outcome;
            vaultBusy_ = false;
            emit vaultBusyChanged();
            setVaultActive(installed);
            if (problem) {
                setLastError(
                    QString::fromStdString("Evidence Vault not installed — " + *problem + "."));
            }
        });
}

void Monitor::loadDemo() {
    worker_->runExclusive([this, folder = places_.dataFolder] {
        monitor::loadDemo(folder, cannedDemoFile);
        post([this] {
            setDemoLoaded(true);
            readVerdict();
            raiseReloadToken();
        });
    });
}

void Monitor::clearDemo() {
    monitor::leaveDemo(places_.dataFolder);
    setDemoLoaded(false);
    resetAnalysis();
    runSift(true);
}

void Monitor::learnOwner(double since, std::function<void(std::optional<QString>)> done) {
    worker_->runExclusive([this, since, done = std::move(done), folder = places_.dataFolder] {
        const Baseline::Learned learned = monitor::learnOwner(folder, since, util::nowEpoch());
        post([this, done, learned] {
            // A phone that could not be written down is not learned: say why instead.
            showAnalysisFailure(learned.failure);
            done(learned.bleMac ? std::optional(QString::fromStdString(*learned.bleMac))
                                : std::nullopt);
        });
    });
}

void Monitor::evaluateOwner(
    std::function<void(std::optional<QString>, std::optional<QString>, QString)> done) {
    worker_->runExclusive([this, done = std::move(done), folder = places_.dataFolder] {
        const auto refreshed = monitor::evaluateOwner(folder, util::nowEpoch());
        const auto text = [](const std::optional<std::string>& value) {
            return value ? std::optional<QString>(QString::fromStdString(*value)) : std::nullopt;
        };
        post([this, done, ble = text(refreshed.bleMac), connMac = text(refreshed.connMac),
              state = QString::fromStdString(refreshed.state), failure = refreshed.failure] {
            showAnalysisFailure(failure);
            done(ble, connMac, state);
        });
    });
}

void Monitor::removeEverything(std::function<void(bool vaultRemoved)> done) {
    capture_.stop();
    siftTimer_.stop();
    // The worker is shared with the job, so a monitor destroyed meanwhile never leaves the
    // job draining a worker that is gone.
    runThenCallback(
        this,
        [worker = worker_, places = places_] {
            worker->drain();
            return monitor::removeEverything(places.dataFolder, places.vaultFolder);
        },
        [this, done = std::move(done)](const monitor::Removal& removal) {
            QSettings().remove(kOnboardedKey);
            setDemoLoaded(false);
            setVaultActive(!removal.vaultRemoved);
            readVerdict(); // no summary any more: the empty state
            emit onboardedChanged();
            done(removal.vaultRemoved);
        });
}

void Monitor::shutdown() {
    siftTimer_.stop();
    capture_.stop();
}

} // namespace corvane::app
