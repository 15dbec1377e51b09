#include "platform/Notifier.h"

#include <QDBusConnection>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QVariantMap>

namespace corvane::platform {

namespace {

// https://specifications.freedesktop.org/notification-spec/latest/
constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
constexpr const char* kOpenAction = "open";

} // namespace

struct Notifier::Impl {
    uint shownId = 0; // the alert on screen, replaced by the next one
    bool subscribed = false;
};

Notifier::Notifier(QObject* parent) : QObject(parent), impl_(new Impl) {}

Notifier::~Notifier() {
    delete impl_;
}

void Notifier::notify(const Alert& alert, QSystemTrayIcon* tray) {
    auto fallBack = [this, alert, tray = QPointer<QSystemTrayIcon>(tray)] {
        if (tray) {
            connect(tray, &QSystemTrayIcon::messageClicked, this, &Notifier::opened,
                    Qt::UniqueConnection);
            tray->showMessage(alert.title, alert.body, QSystemTrayIcon::Critical);
        }
    };
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        fallBack();
        return;
    }
    if (!impl_->subscribed) {
        impl_->subscribed = bus.connect(kService, kPath, kInterface, "ActionInvoked", this,
                                        SLOT(actionInvoked(uint, QString)));
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
    // "default" is a click on the alert itself; the named action is its button.
    const QStringList actions{"default", alert.actionLabel, kOpenAction, alert.actionLabel};
    const QVariantMap hints{{"urgency", QVariant::fromValue<uchar>(2)},
                            {"desktop-entry", QStringLiteral("corvane-monitor")},
                            {"category", QStringLiteral("device")}};
    call << QStringLiteral("Corvane Monitor") << impl_->shownId << QStringLiteral("dialog-warning")
         << alert.title << alert.body << actions << hints
         << 0; // never expires: it stays until the owner has seen it
    // Asynchronous: the service may first have to be started, and the window's thread must
    // not wait for it.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, fallBack](QDBusPendingCallWatcher* done) {
                QDBusPendingReply<uint> reply = *done;
                done->deleteLater();
                if (reply.isError()) {
                    fallBack();
                    return;
                }
                impl_->shownId = reply.value();
            });
}

void Notifier::actionInvoked(uint id, const QString& action) {
    if (id == impl_->shownId && id != 0 && (action == "default" || action == kOpenAction)) {
        emit opened();
    }
}

} // namespace corvane::platform
