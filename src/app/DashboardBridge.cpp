#include "app/DashboardBridge.h"

#include <QJsonObject>
#include <QTimer>

namespace corvane::app {

void DashboardBridge::postMessage(const QJsonValue& body) {
    if (!body.isObject()) {
        return;
    }
    const QJsonObject message = body.toObject();
    const QJsonValue action = message.value("action");
    if (!action.isString()) {
        return;
    }
    // Handled on a later turn of the event loop, never inside the delivery itself.
    if (action.toString() == "report") {
        const QJsonValue day = message.value("day");
        const QString dayText = day.isString() ? day.toString() : QString();
        QTimer::singleShot(0, this, [this, dayText] { emit reportRequested(dayText); });
    } else if (action.toString() == "trust") {
        const QJsonValue tail = message.value("tail");
        if (tail.isString()) {
            QTimer::singleShot(0, this, [this, text = tail.toString()] { emit trustRequested(text); });
        }
    } else if (action.toString() == "uninstall") {
        QTimer::singleShot(0, this, [this] { emit uninstallRequested(); });
    }
}

} // namespace corvane::app
