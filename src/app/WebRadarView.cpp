#include "app/WebRadarView.h"

#include "app/DashboardBridge.h"
#include "app/DashboardInterceptor.h"
#include "app/DashboardPage.h"
#include "capture/DataFolder.h"

#include <QFile>
#include <QWebChannel>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>

namespace corvane::app {
namespace fs = std::filesystem;

namespace {

/// The page's side of the bridge. The web channel's client library stays inside the
/// closure, so the page sees only window.webkit.messageHandlers.cv.postMessage, as it would
/// in WebKit. The body is copied when posted, as WebKit does, and what is posted before the
/// channel has connected waits in order.
constexpr const char* kShimBody = R"JS(
  if (window.webkit && window.webkit.messageHandlers) { return; }
  var pending = [];
  var relay = null;
  var cv = Object.freeze({
    postMessage: function (body) {
      var copy;
      try { copy = JSON.parse(JSON.stringify(body === undefined ? null : body)); }
      catch (e) { return; }
      if (relay) { relay.postMessage(copy); } else { pending.push(copy); }
    }
  });
  Object.defineProperty(window, 'webkit', {
    value: Object.freeze({ messageHandlers: Object.freeze({ cv: cv }) })
  });
  function connect() {
    if (typeof qt === 'undefined' || !qt.webChannelTransport) {
      setTimeout(connect, 5);
      return;
    }
    new QWebChannel(qt.webChannelTransport, function (channel) {
      relay = channel.objects.cv;
      pending.splice(0).forEach(function (body) { relay.postMessage(body); });
    });
  }
  connect();
)JS";

} // namespace

QString WebRadarView::shimSource() {
    QFile client(":/qtwebchannel/qwebchannel.js");
    const QString library =
        client.open(QIODevice::ReadOnly) ? QString::fromUtf8(client.readAll()) : QString();
    return "(function () {\n'use strict';\n" + library + kShimBody + "})();\n";
}

WebRadarView::WebRadarView(fs::path dataFolder, QWidget* parent)
    : QWebEngineView(parent), dataFolder_(std::move(dataFolder)),
      // Off the record: nothing of the page outlives the view on disk.
      profile_(new QWebEngineProfile(this)), page_(new DashboardPage(profile_, this)),
      bridge_(new DashboardBridge(this)), channel_(new QWebChannel(this)) {
    profile_->setHttpCacheType(QWebEngineProfile::NoCache);
    profile_->setUrlRequestInterceptor(new DashboardInterceptor(dataFolder_, profile_));

    QWebEngineSettings* settings = page_->settings();
    settings->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, true);
    settings->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
    settings->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
    settings->setAttribute(QWebEngineSettings::PluginsEnabled, false);

    QWebEngineScript shim;
    shim.setName("cv-bridge");
    shim.setInjectionPoint(QWebEngineScript::DocumentCreation);
    shim.setWorldId(QWebEngineScript::MainWorld);
    shim.setRunsOnSubFrames(false);
    shim.setSourceCode(shimSource());
    page_->scripts().insert(shim);

    channel_->registerObject("cv", bridge_);
    page_->setWebChannel(channel_, QWebEngineScript::MainWorld);
    page_->setBackgroundColor(Qt::black);
    setPage(page_);
    setContextMenuPolicy(Qt::NoContextMenu);
    // The first setReloadToken loads the page.
}

WebRadarView::~WebRadarView() {
    // The page must go before the profile it was made with.
    setPage(nullptr);
    delete page_;
}

void WebRadarView::setReloadToken(qint64 token) {
    if (token == lastToken_) {
        return;
    }
    lastToken_ = token;
    loadPage();
}

void WebRadarView::loadPage() {
    const fs::path pagePath = DataFolder(dataFolder_).radarPage();
    std::error_code ec;
    if (!fs::is_regular_file(pagePath, ec)) {
        return;
    }
    ++loadCount_;
    page_->load(QUrl::fromLocalFile(QString::fromStdString(pagePath.string())));
}

} // namespace corvane::app
