#include "app/DashboardPage.h"

#include "app/Dialogs.h"

#include <QWebEngineNewWindowRequest>

namespace corvane::app {

namespace {

bool isWebLink(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    return scheme == "http" || scheme == "https";
}

} // namespace

DashboardPage::DashboardPage(QWebEngineProfile* profile, QObject* parent)
    : QWebEnginePage(profile, parent) {
    connect(this, &QWebEnginePage::newWindowRequested, this,
            [](QWebEngineNewWindowRequest& request) {
                // target=_blank: the default browser for a web link the user clicked; no
                // second window of the dashboard either way.
                if (request.isUserInitiated() && isWebLink(request.requestedUrl())) {
                    Dialogs::openUrl(request.requestedUrl());
                }
            });
}

bool DashboardPage::acceptNavigationRequest(const QUrl& url, NavigationType type, bool) {
    if (type == NavigationTypeLinkClicked && isWebLink(url)) {
        Dialogs::openUrl(url);
        return false;
    }
    return true;
}

} // namespace corvane::app
