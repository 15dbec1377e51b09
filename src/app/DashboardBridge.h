#pragma once

#include <QJsonValue>
#include <QObject>
#include <QString>

namespace corvane::app {

/// What the page may post to the application through `window.webkit.messageHandlers.cv`.
/// The only object the page sees over the web channel: one method, arguments checked here,
/// and each request it accepts comes out as a signal on a later turn of the event loop.
class DashboardBridge : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

  public slots:
    /// The body as the page posted it. An object with "action" "report" (optional text
    /// "day"), "trust" (text "tail") or "uninstall"; everything else is ignored without a
    /// reply. The texts are checked by what they are for, as the report checks its day.
    void postMessage(const QJsonValue& body);

  signals:
    /// The page asked for the report of `day`; empty when it named none (the last day).
    void reportRequested(const QString& day);
    /// The owner confirmed the device of `tail` as theirs ("This is my device").
    void trustRequested(const QString& tail);
    void uninstallRequested();
};

} // namespace corvane::app
