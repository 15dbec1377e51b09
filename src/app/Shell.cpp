#include "app/Shell.h"

#include "app/ContentView.h"
#include "app/Monitor.h"
#include "platform/Platform.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMenu>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <sys/stat.h>
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

/// Whether `path` is a folder of this user alone: no link, the user's, closed to others.
bool isPrivateFolder(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
}

/// A folder only this user can enter, for the instance socket: the session's runtime folder,
/// else one of the user's own in the shared temporary folder; empty when neither is private
/// (someone else made the latter first).
QString privateFolder() {
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!runtime.isEmpty() && isPrivateFolder(runtime)) {
        return runtime;
    }
    const QString own = QDir::tempPath() + QString("/corvane-monitor-%1").arg(::getuid());
    ::mkdir(QFile::encodeName(own).constData(), 0700);
    return isPrivateFolder(own) ? own : QString();
}

/// Whether the other end of a local socket runs as this user: no one else is obeyed, and no
/// one else's listener passes for a running instance.
bool isOwnPeer(const QLocalSocket& socket) {
    const auto uid = platform::peerUid(static_cast<int>(socket.socketDescriptor()));
    return uid && *uid == ::getuid();
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
    const QString folder = privateFolder();
    return folder.isEmpty() ? QString() : folder + QString("/corvane-monitor-%1.sock").arg(getuid());
}

bool Shell::forwardToRunningInstance() {
    const QString name = instanceName();
    if (name.isEmpty()) {
        return false;
    }
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(1000) || !isOwnPeer(socket)) {
        return false;
    }
    socket.write("show\n");
    socket.waitForBytesWritten(1000);
    socket.disconnectFromServer();
    return true;
}

bool Shell::listen() {
    const QString name = instanceName();
    if (name.isEmpty()) {
        return false; // no private place: run without the single-instance hand-over
    }
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // No instance answered, so a socket left at the name is stale.
    QLocalServer::removeServer(name);
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = server_->nextPendingConnection()) {
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            if (!isOwnPeer(*peer)) {
                peer->abort();
                continue;
            }
            openControlPanel();
        }
    });
    return server_->listen(name);
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
