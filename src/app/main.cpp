#include "app/Monitor.h"
#include "app/Shell.h"
#include "app/Style.h"
#include "monitor/MonitorLoop.h"
#include "platform/Platform.h"
#include "vault/Vault.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>
#include <cstdio>
#include <unistd.h>

namespace {

/// The web engine's settings that must be made before it starts.
void prepareWebEngine() {
    // Chromium refuses to run its sandbox as root (containers, CI images), and would end the
    // process with a message that tells a newcomer nothing; the page is ours and local.
    if (::geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX")) {
        std::fputs("corvane-monitor: running as root, so the dashboard's web engine runs "
                   "without its sandbox\n",
                   stderr);
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    }
    // Every start of the web engine prints a screenful of its own diagnostics; they are for
    // whoever debugs the app, who sets CORVANE_DEBUG=1 to see them.
    if (qEnvironmentVariableIsEmpty("CORVANE_DEBUG")) {
        QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS",
                flags + (flags.isEmpty() ? "" : " ") + "--log-level=3 --disable-logging");
        // Qt's own notes (the web engine's start-up report, the page's console, platform
        // plugin remarks) say nothing an owner can act on; only failures get through.
        qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
                const QByteArray category(context.category ? context.category : "");
                if ((type == QtCriticalMsg || type == QtFatalMsg) && !category.startsWith("js") &&
                    !category.startsWith("qt.webengine")) {
                    std::fprintf(stderr, "%s\n", qPrintable(message));
                }
            });
    }
}

} // namespace

int main(int argc, char* argv[]) {
    using namespace corvane;
    // SIGINT and SIGTERM end the app as Quit does, so the evidence log gets its stop marker.
    // Constructed first: every thread started later inherits the blocked signals.
    monitor::SignalWatcher signalWatcher([](int) {
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    });

    prepareWebEngine();
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts); // required by the web view
    QCoreApplication::setOrganizationName("Corvane");
    QCoreApplication::setApplicationName("Corvane Monitor");
    QApplication application(argc, argv);
    application.setWindowIcon(QIcon(":/icons/app.svg"));
    app::Style::apply(application);

    if (app::Shell::forwardToRunningInstance()) {
        return 0;
    }
    app::Monitor monitor({platform::dataFolder(), vault::vaultFolder(), platform::resourcesDir(),
                          platform::logToolPath()});
    app::Shell shell(monitor);
    shell.listen();
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &monitor,
                     [&monitor] { monitor.shutdown(); });
    shell.openControlPanel();
    // For bench/app-idle: the footprint with the window closed, on a machine without a tray
    // (where closing the window would otherwise quit).
    if (const int seconds = qEnvironmentVariableIntValue("CORVANE_BENCH_CLOSE_WINDOW_AFTER")) {
        QTimer::singleShot(seconds * 1000, &shell, [&shell] {
            QApplication::setQuitOnLastWindowClosed(false);
            if (shell.window()) {
                shell.window()->close();
            }
        });
    }
    return application.exec();
}
