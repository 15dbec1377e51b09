#include "app/Shell.h"

#include "app/ContentView.h"
#include "app/Monitor.h"

#include <QApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMenu>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <unistd.h>

namespace corvane::app {

namespace {

constexpr const char* kCompromised = "COMPROMISED";

QIcon trayIcon(const QString& verdict, Monitor::Watch watch, bool attention) {
    const bool recording = watch == Monitor::Watch::Running || watch == Monitor::Watch::Idle;
    if (attention || (recording && verdict == kCompromised)) {
        return QIcon(":/icons/tray-compromised.svg"); // in colour, to stand out
    }
    // A template image in the macOS menu bar: drawn in the bar's own colour.
    QIcon icon(!recording           ? ":/icons/tray-stopped.svg"
               : verdict == "CLEAN" ? ":/icons/tray-clean.svg"
                                    : ":/icons/tray-idle.svg");
    icon.setIsMask(true);
    return icon;
}

} // namespace

Shell::Shell(Monitor& monitor, QObject* parent) : QObject(parent), monitor_(monitor) {
    lastVerdict_ = monitor_.verdict();
    const bool trayAvailable = QSystemTrayIcon::isSystemTrayAvailable();
    // Without a tray there is no way back to a closed window: closing it quits.
    QApplication::setQuitOnLastWindowClosed(!trayAvailable);
    if (trayAvailable) {
        menu_ = std::make_unique<QMenu>();
        menu_->setTitle("Corvane Monitor");
        menu_->addAction("Open Control Panel", this, &Shell::openControlPanel);
        menu_->addSeparator();
        menu_->addAction("Quit Corvane Monitor", qApp, &QCoreApplication::quit);
        tray_ = new QSystemTrayIcon(this);
        updateTray();
        tray_->setContextMenu(menu_.get());
        connect(tray_, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason why) {
                    if (why == QSystemTrayIcon::Trigger) {
                        openControlPanel();
                    }
                });
        tray_->show();
    }
    // The alert's action, or a click on it, opens the dashboard.
    connect(&notifier_, &platform::Notifier::opened, this, &Shell::openControlPanel);
    connect(&monitor_, &Monitor::isRunningChanged, this, &Shell::updateTray);
    connect(&monitor_, &Monitor::onboardedChanged, this, &Shell::updateTray);
    connect(&monitor_, &Monitor::verdictChanged, this,
            [this] { showVerdict(monitor_.verdict(), monitor_.demoLoaded()); });
}

Shell::~Shell() {
    delete window_.data();
}

QString Shell::instanceName() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) {
        folder = QDir::tempPath();
    }
    return folder + QString("/corvane-monitor-%1.sock").arg(getuid());
}

bool Shell::forwardToRunningInstance() {
    QLocalSocket socket;
    socket.connectToServer(instanceName());
    if (!socket.waitForConnected(1000)) {
        return false;
    }
    socket.write("show\n");
    socket.waitForBytesWritten(1000);
    socket.disconnectFromServer();
    return true;
}

bool Shell::listen() {
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // No instance answered, so a socket left at the name is stale.
    QLocalServer::removeServer(instanceName());
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = server_->nextPendingConnection()) {
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            openControlPanel();
        }
    });
    return server_->listen(instanceName());
}

void Shell::openControlPanel() {
    if (!window_) {
        window_ = new ContentView(monitor_);
        window_->setAttribute(Qt::WA_DeleteOnClose);
        window_->setWindowIcon(QIcon(":/icons/app.svg"));
    }
    window_->show();
    window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
    window_->raise();
    window_->activateWindow();
    if (needsAttention_) {
        needsAttention_ = false;
        updateTray();
    }
}

QString Shell::trayToolTip(const QString& verdict, Monitor::Watch watch, bool attention) {
    const QString head = "Corvane Monitor — ";
    if (attention) {
        return head + kCompromised + " — needs attention";
    }
    if (watch == Monitor::Watch::Stopped) {
        return head + "monitoring stopped";
    }
    if (watch == Monitor::Watch::SourceEnded) {
        return head + "the system log stream ended";
    }
    return head + (verdict.isEmpty() ? QString("—") : verdict);
}

void Shell::updateTray() {
    if (tray_) {
        const auto watch = monitor_.watch();
        tray_->setIcon(trayIcon(lastVerdict_, watch, needsAttention_));
        tray_->setToolTip(trayText());
    }
}

void Shell::showVerdict(const QString& verdict, bool demo) {
    const bool turnedCompromised = verdict == kCompromised && lastVerdict_ != kCompromised && !demo;
    lastVerdict_ = verdict;
    if (verdict.isEmpty()) {
        needsAttention_ = false; // the data folder is gone: nothing left to look at
    }
    if (turnedCompromised) {
        ++alertsRaised_;
        // Until the owner has looked, whatever the verdict does meanwhile.
        needsAttention_ = true;
        notifier_.notify({"Corvane Monitor — COMPROMISED",
                          "Another device or account is connecting to this Mac as its owner. "
                          "Open the dashboard for the evidence.",
                          "Open Dashboard"},
                         tray_);
    }
    updateTray();
}

} // namespace corvane::app
