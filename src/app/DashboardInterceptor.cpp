#include "app/DashboardInterceptor.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>

namespace corvane::app {

Q_LOGGING_CATEGORY(lcDashboard, "corvane.dashboard")

namespace {

/// Where `path` leads once every symbolic link is followed, or the cleaned absolute path
/// when it does not exist.
QString resolved(const QString& path) {
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : canonical;
}

} // namespace

DashboardInterceptor::DashboardInterceptor(std::filesystem::path dataFolder, QObject* parent)
    : QWebEngineUrlRequestInterceptor(parent), dataFolder_(std::move(dataFolder)) {}

bool DashboardInterceptor::allows(const QUrl& url) const {
    const QString scheme = url.scheme().toLower();
    if (scheme == "data" || scheme == "blob" || scheme == "about") {
        return true;
    }
    if (scheme != "file" || !url.host().isEmpty()) {
        return false;
    }
    // Symbolic links count where they lead, so a link inside the folder opens nothing outside.
    const QString root = resolved(QString::fromStdString(dataFolder_.string()));
    const QString path = resolved(url.toLocalFile());
    return path == root || path.startsWith(root + '/');
}

void DashboardInterceptor::interceptRequest(QWebEngineUrlRequestInfo& info) {
    if (!allows(info.requestUrl())) {
        qCInfo(lcDashboard) << "refused" << info.requestUrl().toDisplayString();
        info.block(true);
    }
}

} // namespace corvane::app
