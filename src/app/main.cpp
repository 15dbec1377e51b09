#include "app/Monitor.h"
#include "app/Shell.h"
#include "app/Style.h"
#include "monitor/MonitorLoop.h"
#include "platform/Platform.h"
#include "vault/Vault.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[]) {
    using namespace corvane;
    // SIGINT and SIGTERM end the app as Quit does, so the evidence log gets its stop marker.
    // Constructed first: every thread started later inherits the blocked signals.
    monitor::SignalWatcher signalWatcher([](int) {
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    });

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
    return application.exec();
}
