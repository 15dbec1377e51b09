#pragma once

#include <QObject>
#include <QString>

class QSystemTrayIcon;

namespace corvane::platform {

/// An alert for the owner, shown by the desktop's own notification service so that it looks
/// like every other alert on the desktop, stays readable, and can be acted on.
struct Alert {
    QString title;
    QString body;
    QString actionLabel; // the one action: it brings the dashboard forward
};

/// The desktop's notification service. Linux: the freedesktop notification service on the
/// session bus (an alert stays until dismissed, and a later one replaces it). macOS: the
/// user-notification centre, reached through the menu-bar item. Where no service answers,
/// the alert falls back to a message of the tray item, when there is one.
class Notifier : public QObject {
    Q_OBJECT
  public:
    explicit Notifier(QObject* parent = nullptr);
    ~Notifier() override;

    void notify(const Alert& alert, QSystemTrayIcon* tray);

  signals:
    /// The owner clicked the alert or chose its action.
    void opened();

  private slots:
    void actionInvoked(uint id, const QString& action);

  private:
    struct Impl;
    Impl* impl_;
};

} // namespace corvane::platform
