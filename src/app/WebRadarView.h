#pragma once

#include <QJsonValue>
#include <QObject>
#include <QString>
#include <QWebEnginePage>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>
#include <filesystem>
#include <functional>
#include <optional>

class QWebChannel;
class QWebEngineProfile;

namespace corvane::app {

/// What the page may post to the application through `window.webkit.messageHandlers.cv`.
/// The only object the page sees over the web channel: one method, arguments checked here.
class DashboardBridge : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;
    std::function<void(std::optional<QString>)> onReport;
    std::function<void()> onUninstall;

  public slots:
    /// The body as the page posted it. An object with "action" "report" (optional text
    /// "day") or "uninstall"; everything else is ignored without a reply.
    void postMessage(const QJsonValue& body);
};

/// Lets the page read the data folder it was loaded from and nothing else: file URLs
/// outside that folder and every remote request are refused. Links the user activates go to
/// the default browser through the page, never through a request of the web view.
class DashboardInterceptor : public QWebEngineUrlRequestInterceptor {
    Q_OBJECT
  public:
    DashboardInterceptor(std::filesystem::path dataFolder, QObject* parent);
    void interceptRequest(QWebEngineUrlRequestInfo& info) override;
    bool allows(const QUrl& url) const;

  private:
    QString root_;
};

/// Sends http and https links the user activates to the default browser, and keeps
/// everything else inside the view.
class DashboardPage : public QWebEnginePage {
    Q_OBJECT
  public:
    DashboardPage(QWebEngineProfile* profile, QObject* parent);

  protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;
};

/// The web dashboard: radar.html from the data folder, reloaded whenever the reload token
/// changes, with the page's report and uninstall requests carried back to the application.
class WebRadarView : public QWebEngineView {
    Q_OBJECT
  public:
    WebRadarView(std::filesystem::path dataFolder, QWidget* parent = nullptr);
    ~WebRadarView() override;

    /// Loads the page afresh from disk when `token` differs from the last one seen.
    void setReloadToken(qint64 token);
    /// How many times the page was (re)loaded.
    int loadCount() const { return loadCount_; }
    DashboardBridge& bridge() { return *bridge_; }

    /// The script injected at document creation: `window.webkit.messageHandlers.cv` over the
    /// web channel, queueing what is posted before the channel is ready.
    static QString shimSource();

  private:
    void loadPage();

    const std::filesystem::path dataFolder_;
    QWebEngineProfile* profile_;
    DashboardPage* page_;
    DashboardBridge* bridge_;
    QWebChannel* channel_;
    qint64 lastToken_ = -1;
    int loadCount_ = 0;
};

} // namespace corvane::app
