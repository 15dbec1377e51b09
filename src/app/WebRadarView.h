#pragma once

#include <QWebEngineView>
#include <filesystem>

class QWebChannel;
class QWebEngineProfile;

namespace corvane::app {

class DashboardBridge;
class DashboardPage;

/// The web dashboard: radar.html from the data folder, reloaded whenever the reload token
/// changes, with the page's report and uninstall requests carried back to the application
/// through the bridge's signals.
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
