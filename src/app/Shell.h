#pragma once

#include "app/ContentView.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>

class QLocalServer;
class QMenu;
class QSystemTrayIcon;

namespace corvane::app {

class Monitor;

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

    /// The tray's tooltip for a verdict word.
    static QString trayToolTip(const QString& verdict);

    /// Follows a new verdict: the tray's icon and tooltip, and one notification each time it
    /// turns COMPROMISED (never for the demo data).
    void showVerdict(const QString& verdict, bool demo);

    Monitor& monitor_;
    QPointer<ContentView> window_;
    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon* tray_ = nullptr;
    QLocalServer* server_ = nullptr;
    QString lastVerdict_;
    int alertsRaised_ = 0;
};

} // namespace corvane::app
