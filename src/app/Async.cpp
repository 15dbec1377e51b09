#include "app/Async.h"

#include <QCoreApplication>

namespace corvane::app {

void postToGui(const QPointer<QObject>& receiver, std::function<void()> callback) {
    // Queued on the application object, which outlives every receiver; the guard is read
    // there, on the GUI thread, where receivers are destroyed.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [receiver, callback = std::move(callback)] {
            if (receiver) {
                callback();
            }
        },
        Qt::QueuedConnection);
}

} // namespace corvane::app
