#pragma once

#include <QWebEngineUrlRequestInterceptor>
#include <filesystem>

namespace corvane::app {

/// Lets the page read the data folder it was loaded from and nothing else: file URLs
/// outside that folder and every remote request are refused, and each refusal is logged
/// under "corvane.dashboard". Links the user activates go to the default browser through the
/// page, never through a request of the web view.
///
/// The folder is resolved on each request, as it is then: it may not exist yet when the view
/// is built (first launch), and it may be reached through a symbolic link.
class DashboardInterceptor : public QWebEngineUrlRequestInterceptor {
    Q_OBJECT
  public:
    DashboardInterceptor(std::filesystem::path dataFolder, QObject* parent);
    void interceptRequest(QWebEngineUrlRequestInfo& info) override;
    bool allows(const QUrl& url) const;

  private:
    const std::filesystem::path dataFolder_;
};

} // namespace corvane::app
