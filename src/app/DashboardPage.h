#pragma once

#include <QWebEnginePage>

class QWebEngineProfile;

namespace corvane::app {

/// Sends http and https links the user activates to the default browser, and keeps
/// everything else inside the view.
class DashboardPage : public QWebEnginePage {
    Q_OBJECT
  public:
    DashboardPage(QWebEngineProfile* profile, QObject* parent);

  protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;
};

} // namespace corvane::app
