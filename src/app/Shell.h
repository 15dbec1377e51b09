#pragma once

#include "app/ContentView.h"
#include "app/Monitor.h"
#include "platform/Notifier.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>

class QLocalServer;
class QMenu;
class QSystemTrayIcon;

namespace corvane::app {

/// The application around the one monitor: the tray item, the control panel window (at
/// most one), and the single-instance server that brings it forward for a second launch.
class Shell : public QObject {
    Q_OBJECT
  public:
    explicit Shell(Monitor& monitor, QObject* parent = nullptr);
    ~Shell() override;

    /// The local server's full path in the user's runtime folder.
    static QString instanceName();
    /// Asks a running instance to bring its window forward; true when one answered.
    static bool forwardToRunningInstance();
    /// Serves later launches; false when the name could not be taken.
    bool listen();

    /// Raises the existing window, or opens exactly one.
    void openControlPanel();
    ContentView* window() const { return window_; }
    bool hasTray() const { return tray_ != nullptr; }
    /// How many "compromised" notifications were raised.
    int alertsRaised() const { return alertsRaised_; }
    /// An alert was raised that the owner has not yet opened the control panel for.
    bool needsAttention() const { return needsAttention_; }
    /// What the tray item says now (its tooltip).
    QString trayText() const {
        return trayToolTip(lastVerdict_, monitor_.watch(), needsAttention_);
    }

    /// The tray's tooltip: the verdict word, or that nothing is being recorded; an alert
    /// not yet looked at comes first.
    static QString trayToolTip(const QString& verdict,
                               Monitor::Watch watch = Monitor::Watch::Running,
                               bool attention = false);

    /// Follows a new verdict: the tray's icon and tooltip, and one notification each time it
    /// turns COMPROMISED (never for the demo data).
    void showVerdict(const QString& verdict, bool demo);

    Monitor& monitor_;
    QPointer<ContentView> window_;
    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon* tray_ = nullptr;
    QLocalServer* server_ = nullptr;
    platform::Notifier notifier_;
    QString lastVerdict_;
    int alertsRaised_ = 0;
    bool needsAttention_ = false;

    void updateTray();
};

} // namespace corvane::app
