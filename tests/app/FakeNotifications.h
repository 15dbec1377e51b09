#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

/// The desktop's notification service as the tests see it: it takes the freedesktop name on
/// the session bus (a bus of the test's own, from dbus-run-session) over a connection of its
/// own, records each alert, and can press an alert's action as the owner would.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
  public:
    struct Shown {
        QString summary, body;
        QStringList actions;
        QVariantMap hints;
        int timeout;
    };
    QList<Shown> shown;

    bool start() {
        bus_ = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "fake-notifications");
        return bus_.isConnected() &&
               bus_.registerObject("/org/freedesktop/Notifications", this,
                                   QDBusConnection::ExportAllSlots) &&
               bus_.registerService("org.freedesktop.Notifications");
    }
    ~FakeNotifications() override {
        bus_.unregisterService("org.freedesktop.Notifications");
        QDBusConnection::disconnectFromBus("fake-notifications");
    }

    void invoke(uint id, const QString& action) {
        QDBusMessage signal = QDBusMessage::createSignal(
            "/org/freedesktop/Notifications", "org.freedesktop.Notifications", "ActionInvoked");
        signal << id << action;
        bus_.send(signal);
    }

  public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap& hints, int timeout) {
        shown.append({summary, body, actions, hints, timeout});
        return static_cast<uint>(shown.size());
    }

  private:
    QDBusConnection bus_{QString()};
};
