#include "app/ContentView.h"

#include "app/Async.h"
#include "app/DashboardBridge.h"
#include "app/Dialogs.h"
#include "app/Monitor.h"
#include "app/OnboardingView.h"
#include "app/Style.h"
#include "app/WebRadarView.h"
#include "capture/DataFolder.h"
#include "evidence/Export.h"
#include "monitor/Operations.h"
#include "platform/Platform.h"
#include "util/LocalTime.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QStandardPaths>
#include <QVBoxLayout>

namespace corvane::app {
namespace fs = std::filesystem;

const QString ContentView::kUninstallTitle = "Uninstall Corvane Monitor?";
const QString ContentView::kUninstallBody =
    "This stops monitoring, removes the root Evidence Vault (you'll be asked for your "
    "password), and deletes CV's data folder and settings.\n\nYour evidence lives in the "
    "capture log — if you need it, choose Export First.\n\nTo finish removing the app: drag "
    "CV-APP to the Trash, and remove CV-APP from System Settings → Privacy & Security → Full "
    "Disk Access.";
const QString ContentView::kRemovedTitle = "Corvane Monitor removed";
const QString ContentView::kRemovedBody =
    "The Evidence Vault and CV's data folder have been removed. To finish: quit CV, drag CV-APP "
    "to the Trash, and remove CV-APP from System Settings → Privacy & Security → Full Disk "
    "Access.";
const QString ContentView::kVaultLeftTitle = "Evidence Vault not removed";
const QString ContentView::kVaultLeftBody =
    "CV's data folder has been removed, but the Evidence Vault is still installed: removing it "
    "needs an administrator's password, and it was not given or the removal failed. To remove "
    "the vault, open CV again and choose Uninstall from the dashboard, or run \"corvane vault "
    "remove\". To finish: quit CV, drag CV-APP to the Trash, and remove CV-APP from System "
    "Settings → Privacy & Security → Full Disk Access.";

namespace {

QPushButton* pushButton(const QString& text, QWidget* parent) {
    auto* b = new QPushButton(text, parent);
    b->setAccessibleName(text);
    b->setCursor(Qt::PointingHandCursor);
    return b;
}

QPushButton* segment(const QString& text, QWidget* parent) {
    auto* b = new QPushButton(text, parent);
    b->setAccessibleName(text);
    b->setCheckable(true);
    b->setFlat(true);
    b->setCursor(Qt::PointingHandCursor);
    b->setFont(Style::font(11, QFont::DemiBold));
    b->setStyleSheet("QPushButton { color: white; padding: 4px 11px; border-radius: 6px;"
                     " font-size: 11px; font-weight: 600; min-height: 0;"
                     " background: rgb(46,46,46); border: none; }"
                     "QPushButton:checked { background: rgb(10,132,255); }"
                     "QPushButton:focus { border: 2px solid rgb(255,214,10); padding: 2px 9px; }");
    return b;
}

/// The opacity transition of the setup assistant.
QPropertyAnimation* fade(QWidget* widget, qreal from, qreal to) {
    auto* effect = new QGraphicsOpacityEffect(widget);
    widget->setGraphicsEffect(effect);
    auto* animation = new QPropertyAnimation(effect, "opacity", widget);
    animation->setDuration(250);
    animation->setStartValue(from);
    animation->setEndValue(to);
    animation->start(QAbstractAnimation::DeleteWhenStopped);
    return animation;
}

} // namespace

ContentView::ContentView(Monitor& monitor, QWidget* parent) : QWidget(parent), monitor_(monitor) {
    setWindowTitle("Corvane Monitor");
    setAccessibleName("Corvane Monitor control panel");
    setMinimumSize(900, 640);
    resize(1180, 780);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(buildStatusBar());
    column->addWidget(buildFdaRow());
    column->addWidget(buildStateBanner());

    errorLine_ = Style::text({}, Style::mono(11), Style::orange, this);
    errorLine_->setObjectName("errorLine");
    errorLine_->setContentsMargins(8, 8, 8, 8);
    errorLine_->setWordWrap(true);
    errorLine_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    errorLine_->setAutoFillBackground(true);
    QPalette errorPalette = errorLine_->palette();
    errorPalette.setColor(QPalette::Window, QColor(26, 20, 12));
    errorLine_->setPalette(errorPalette);
    column->addWidget(errorLine_);

    web_ = new WebRadarView(monitor_.dataFolder(), this);
    web_->setAccessibleName("Dashboard");
    column->addWidget(web_, 1);
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    setPalette(black);
    setAutoFillBackground(true);

    connect(&web_->bridge(), &DashboardBridge::reportRequested, this, [this](const QString& day) {
        monitor_.openReport(day.isEmpty() ? std::nullopt : std::optional(day));
    });
    connect(&web_->bridge(), &DashboardBridge::trustRequested, &monitor_, &Monitor::trustDevice);
    connect(&web_->bridge(), &DashboardBridge::uninstallRequested, this, &ContentView::uninstall);

    for (auto signal :
         {&Monitor::isRunningChanged, &Monitor::lineCountChanged, &Monitor::lastErrorChanged,
          &Monitor::hasFullDiskAccessChanged, &Monitor::demoLoadedChanged,
          &Monitor::vaultActiveChanged, &Monitor::vaultBusyChanged}) {
        connect(&monitor_, signal, this, &ContentView::refresh);
    }
    connect(&monitor_, &Monitor::reloadTokenChanged, this,
            [this] { web_->setReloadToken(monitor_.reloadToken()); });
    connect(&monitor_, &Monitor::onboardedChanged, this, &ContentView::updateOnboarding);
    connect(&monitor_, &Monitor::onboardedChanged, this, &ContentView::refresh);
    refresh();
    updateOnboarding();
}

QWidget* ContentView::buildStatusBar() {
    auto* bar = new QWidget(this);
    statusBar_ = bar;
    bar->setObjectName("statusBar");
    bar->setAutoFillBackground(true);
    QPalette p = bar->palette();
    p.setColor(QPalette::Window, Style::white(0.06));
    bar->setPalette(p);
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(16, 10, 16, 10);
    row->setSpacing(12);

    row->addWidget(Style::text("CV", Style::mono(13, QFont::Bold), Style::green, bar));
    title_ = Style::text("Corvane Monitor", Style::font(13, QFont::DemiBold), QColor(235, 235, 240),
                         bar);
    // It never holds the window wide: below its width it is hidden (fitStatusBar).
    title_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    row->addWidget(title_);
    row->addStretch(1);

    vaultSealed_ = Style::symbolLabel("lock-shield", "Vault sealed",
                                      Style::mono(10, QFont::DemiBold), Style::green, bar);
    vaultSealed_->setObjectName("vaultSealed");
    row->addWidget(vaultSealed_);
    installVault_ = pushButton("Install Evidence Vault", bar);
    connect(installVault_, &QPushButton::clicked, &monitor_, &Monitor::installVault);
    row->addWidget(installVault_);

    auto* rerun = pushButton("Re-run Setup", bar);
    connect(rerun, &QPushButton::clicked, this, &ContentView::rerunSetup);
    row->addWidget(rerun);

    demoBadge_ = Style::text("DEMO DATA", Style::mono(10, QFont::Bold), Style::orange, bar);
    demoBadge_->setObjectName("demoBadge");
    row->addWidget(demoBadge_);

    auto* segments = new QHBoxLayout;
    segments->setSpacing(2);
    demo_ = segment("Demo", bar);
    live_ = segment("Live", bar);
    // A click never toggles by itself: the segment follows the demo state.
    connect(demo_, &QPushButton::clicked, this, [this] {
        monitor_.loadDemo();
        refresh();
    });
    connect(live_, &QPushButton::clicked, this, [this] {
        monitor_.clearDemo();
        refresh();
    });
    segments->addWidget(demo_);
    segments->addWidget(live_);
    row->addLayout(segments);

    export_ = pushButton("Export", bar);
    connect(export_, &QPushButton::clicked, this, &ContentView::exportEvidence);
    row->addWidget(export_);
    exportProgress_ = new QProgressBar(bar);
    exportProgress_->setObjectName("exportProgress");
    exportProgress_->setAccessibleName("Export progress");
    exportProgress_->setRange(0, 1000);
    exportProgress_->setTextVisible(false);
    exportProgress_->setMaximumWidth(90);
    exportProgress_->hide();
    row->addWidget(exportProgress_);

    monitoring_ =
        Style::symbolLabel("radiowaves", "Monitoring 0 events", Style::mono(11), Style::green, bar);
    monitoring_->setObjectName("monitoringLabel");
    row->addWidget(monitoring_);
    stop_ = pushButton("Stop", bar);
    connect(stop_, &QPushButton::clicked, &monitor_, &Monitor::stopMonitoring);
    row->addWidget(stop_);
    start_ = pushButton("Start Monitoring", bar);
    connect(start_, &QPushButton::clicked, &monitor_, &Monitor::startMonitoring);
    row->addWidget(start_);
    return bar;
}

QWidget* ContentView::buildFdaRow() {
    fdaRow_ = new QWidget(this);
    fdaRow_->setObjectName("fdaRow");
    fdaRow_->setAutoFillBackground(true);
    QPalette p = fdaRow_->palette();
    p.setColor(QPalette::Window, QColor::fromRgbF(0.4, 0.1, 0.1));
    fdaRow_->setPalette(p);
    auto* row = new QHBoxLayout(fdaRow_);
    row->setContentsMargins(10, 10, 10, 10);
    const auto advice = platform::logAccessAdvice();
    auto* warning = Style::text(
        advice ? QString::fromStdString(*advice)
               : "CV-APP needs Full Disk Access to read the system log. System Settings → "
                 "Privacy & Security → Full Disk Access → enable CV-APP.",
        Style::font(11), Qt::white, fdaRow_);
    warning->setObjectName("fdaWarning");
    warning->setWordWrap(true);
    row->addWidget(warning, 1);
    auto* open = pushButton("Open Settings", fdaRow_);
    connect(open, &QPushButton::clicked, &monitor_, &Monitor::openFullDiskAccessSettings);
    open->setVisible(!advice); // nothing to open where the system has no such pane
    row->addWidget(open);
    return fdaRow_;
}

QLabel* ContentView::buildStateBanner() {
    stateBanner_ = Style::text({}, Style::font(12, QFont::DemiBold), Qt::white, this);
    stateBanner_->setObjectName("stateBanner");
    stateBanner_->setContentsMargins(14, 9, 14, 9);
    stateBanner_->setWordWrap(true);
    stateBanner_->setAutoFillBackground(true);
    QPalette p = stateBanner_->palette();
    p.setColor(QPalette::Window, QColor(92, 62, 10));
    stateBanner_->setPalette(p);
    return stateBanner_;
}

void ContentView::refresh() {
    vaultSealed_->setVisible(monitor_.vaultActive());
    installVault_->setVisible(!monitor_.vaultActive());
    installVault_->setEnabled(!monitor_.vaultBusy());
    demoBadge_->setVisible(monitor_.demoLoaded());
    demo_->setChecked(monitor_.demoLoaded());
    live_->setChecked(!monitor_.demoLoaded());
    const bool running = monitor_.isRunning();
    monitoring_->setVisible(running);
    stop_->setVisible(running);
    start_->setVisible(!running);
    if (running) {
        Style::setSymbolLabel(monitoring_, "radiowaves",
                              QString::asprintf("Monitoring %lld events",
                                                static_cast<long long>(monitor_.lineCount())),
                              Style::green);
    }
    fdaRow_->setVisible(!monitor_.hasFullDiskAccess());
    // Not recording is said in words, so it never passes for a quiet, clean day.
    switch (monitor_.watch()) {
    case Monitor::Watch::Stopped:
        stateBanner_->setText("Monitoring is stopped. Nothing new is recorded until you press "
                              "Start Monitoring.");
        break;
    case Monitor::Watch::SourceEnded:
        stateBanner_->setText("The system log stream has ended, so nothing new is being "
                              "recorded. Press Start Monitoring to start it again.");
        break;
    default:
        stateBanner_->clear();
    }
    stateBanner_->setVisible(!stateBanner_->text().isEmpty());
    const QString error = monitor_.lastError();
    errorLine_->setText(error);
    errorLine_->setVisible(!error.isNull());
}

void ContentView::updateOnboarding() {
    // While setup covers the window, nothing behind it takes focus or keys: Tab stays in
    // the assistant, and Return never reaches a link of the page.
    const bool covered = !monitor_.onboarded();
    for (QWidget* behind :
         {statusBar_, fdaRow_, static_cast<QWidget*>(stateBanner_),
          static_cast<QWidget*>(errorLine_), static_cast<QWidget*>(web_)}) {
        behind->setEnabled(!covered);
    }
    if (monitor_.onboarded()) {
        if (onboarding_) {
            onboarding_->setAttribute(Qt::WA_TransparentForMouseEvents);
            connect(fade(onboarding_, 1, 0), &QPropertyAnimation::finished, onboarding_,
                    &QObject::deleteLater);
            onboarding_ = nullptr;
        }
        return;
    }
    if (onboarding_) {
        return;
    }
    onboarding_ = new OnboardingView(monitor_, this);
    onboarding_->setGeometry(rect());
    onboarding_->show();
    onboarding_->raise();
    onboarding_->setFocus();
    if (isVisible()) {
        QWidget* shown = onboarding_;
        connect(fade(shown, 0, 1), &QPropertyAnimation::finished, shown,
                [shown] { shown->setGraphicsEffect(nullptr); });
    }
}

void ContentView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!appeared_) {
        appeared_ = true;
        monitor_.appeared();
    }
}

void ContentView::fitStatusBar() {
    auto* row = static_cast<QHBoxLayout*>(statusBar_->layout());
    // The others' least width; a hidden title takes its spacing with it.
    const int others = row->minimumSize().width() + (title_->isVisible() ? 0 : row->spacing());
    title_->setVisible(width() >= others + title_->sizeHint().width());
}

void ContentView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    fitStatusBar();
    if (onboarding_) {
        onboarding_->setGeometry(rect());
    }
}

void ContentView::showExportProblem(const evidence::ExportOutcome& outcome) {
    monitor_.setLastError(QString::fromStdString(evidence::exportMessage(outcome)));
}

void ContentView::exportEvidence() {
    const fs::path folder = monitor_.dataFolder();
    std::error_code ec;
    if (!fs::exists(DataFolder(folder).evidenceLog(), ec)) {
        showExportProblem({evidence::ExportResult::NoLog, {}});
        return;
    }
    const QString proposed = QString::fromStdString(
        evidence::proposedExportName(static_cast<int64_t>(util::nowEpoch())));
    // A folder that exists: Documents where there is one, else the home folder.
    QString home = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (home.isEmpty() || !QFileInfo(home).isDir()) {
        home = QDir::homePath();
    }
    const QString chosen = Dialogs::saveFileName(this, "Export CV evidence", home + "/" + proposed);
    if (chosen.isEmpty()) {
        return;
    }
    // Archiving a large log takes seconds: the window keeps painting and shows the progress.
    export_->setEnabled(false);
    exportProgress_->setValue(0);
    exportProgress_->show();
    const QPointer<QObject> self(this);
    const auto progress = [self, shown = -1](uint64_t done, uint64_t total) mutable {
        const int permille = total ? static_cast<int>(done * 1000 / total) : 0;
        if (permille != shown) {
            shown = permille;
            postToGui(self, [self, permille] {
                static_cast<ContentView*>(self.data())->exportProgress_->setValue(permille);
            });
        }
    };
    runThenCallback(
        this,
        [folder, destination = fs::path(chosen.toStdString()), progress] {
            return monitor::exportEvidence(folder, destination, progress);
        },
        [this, chosen](const evidence::ExportOutcome& outcome) {
            export_->setEnabled(true);
            exportProgress_->hide();
            if (outcome.result != evidence::ExportResult::Exported) {
                showExportProblem(outcome);
                return;
            }
            QString text = "The evidence archive was saved as\n" + QDir::toNativeSeparators(chosen);
            if (monitor_.demoLoaded()) {
                text += "\n\nDemo mode is on: the archive holds this computer's own evidence "
                        "log, not the demonstration data.";
            }
            const int answer = Dialogs::ask(
                this,
                {QMessageBox::Information, "Evidence exported", text, {"OK", "Show in Folder"}, 0});
            if (answer == 1) {
                Dialogs::openUrl(QUrl::fromLocalFile(QFileInfo(chosen).absolutePath()));
            }
        });
}

void ContentView::rerunSetup() {
    const int answer = Dialogs::ask(
        this, {QMessageBox::Warning,
               "Re-run Setup?",
               "Setup forgets the phone it learned as yours and learns it again while you "
               "follow its steps. Monitoring and the evidence log are kept.",
               {"Cancel", "Re-run Setup"},
               0});
    if (answer == 1) {
        monitor_.rerunSetup();
    }
}

void ContentView::uninstall() {
    const int answer = Dialogs::ask(this, {QMessageBox::Critical,
                                           kUninstallTitle,
                                           kUninstallBody,
                                           {"Uninstall", "Export First…", "Cancel"},
                                           2});
    if (answer == 1) {
        exportEvidence();
        return;
    }
    if (answer != 0) {
        return;
    }
    const QPointer<ContentView> self(this);
    monitor_.removeEverything([self](bool vaultRemoved) {
        if (!self) {
            return;
        }
        self->web_->setHtml({}); // its page is gone with the folder
        // The notice says what is true: a vault whose removal was declined is still there.
        const int final = Dialogs::ask(self, {QMessageBox::Information,
                                              vaultRemoved ? kRemovedTitle : kVaultLeftTitle,
                                              vaultRemoved ? kRemovedBody : kVaultLeftBody,
                                              {"Quit CV", "Later"},
                                              1});
        if (final == 0) {
            QCoreApplication::quit();
        }
    });
}

} // namespace corvane::app
