#include "platform/Notifier.h"

#include <QSystemTrayIcon>

namespace corvane::platform {

// Qt posts a menu-bar item's messages through the user-notification centre, and reports a
// click on one as messageClicked.
struct Notifier::Impl {};

Notifier::Notifier(QObject* parent) : QObject(parent), impl_(new Impl) {}

Notifier::~Notifier() {
    delete impl_;
}

void Notifier::notify(const Alert& alert, QSystemTrayIcon* tray) {
    if (tray) {
        connect(tray, &QSystemTrayIcon::messageClicked, this, &Notifier::opened,
                Qt::UniqueConnection);
        tray->showMessage(alert.title, alert.body, QSystemTrayIcon::Critical);
    }
}

void Notifier::actionInvoked(uint, const QString&) {}

} // namespace corvane::platform
