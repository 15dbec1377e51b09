// The application's life: one capture for the process however often the window opens, one
// instance per user, and the stop marker last when it ends.

#include "AppTestBase.h"
#include "FakeNotifications.h"
#include "app/ContentView.h"
#include "app/Shell.h"
#include "capture/Capture.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::app::test {

class LifecycleTest : public AppTestBase {
    Q_OBJECT
  private slots:
    // One monitor for the process: reopening the window keeps the one capture; a second
    // launch hands over to the first; quitting leaves the stop marker last.
    void shellAndSingleInstance() {
        QSettings().setValue(Monitor::kOnboardedKey, true);
        Monitor monitor(places());
        Shell shell(monitor);
        QVERIFY(!shell.hasTray()); // offscreen has no tray host
        QVERIFY(QApplication::quitOnLastWindowClosed());
        QApplication::setQuitOnLastWindowClosed(false); // keep the test's own loop
        QVERIFY(shell.listen());
        QVERIFY(Shell::forwardToRunningInstance());
        // Without a runtime folder the socket still lies in a folder of this user alone.
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        qunsetenv("XDG_RUNTIME_DIR");
        const QByteArray folder = QFile::encodeName(QFileInfo(Shell::instanceName()).path());
        qputenv("XDG_RUNTIME_DIR", runtime);
        struct stat st {};
        QVERIFY(::lstat(folder.constData(), &st) == 0 && S_ISDIR(st.st_mode));
        QCOMPARE(st.st_uid, ::getuid());
        QCOMPARE(st.st_mode & 077, 0u);
        QTRY_VERIFY_WITH_TIMEOUT(shell.window(), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(monitor.isRunning(), kWait);
        QCOMPARE(logToolChildren(getpid()), 1);
        ContentView* first = shell.window();
        shell.openControlPanel();
        QCOMPARE(shell.window(), first); // raised, not a second one

        first->close();
        QTRY_VERIFY_WITH_TIMEOUT(!shell.window(), kWait);
        shell.openControlPanel();
        QVERIFY(shell.window() && shell.window() != first);
        QTest::qWait(500);
        QVERIFY(monitor.isRunning());
        QCOMPARE(logToolChildren(getpid()), 1);

        QCOMPARE(Shell::trayToolTip("CLEAN", Monitor::Watch::SourceEnded),
                 "Corvane Monitor — the system log stream ended");
        // The alert goes to the desktop's notification service, stays until dismissed, and
        // its action brings the dashboard forward; until then the tray needs attention.
        FakeNotifications service;
        QVERIFY2(service.start(), "no session bus: run under dbus-run-session");
        // One notification per turn to COMPROMISED; none for the demo's canned verdict.
        for (const auto& [verdict, demo] :
             std::vector<std::pair<QString, bool>>{{"CLEAN", false},
                                                   {"COMPROMISED", false},
                                                   {"COMPROMISED", false},
                                                   {"CLEAN", false},
                                                   {"COMPROMISED", true},
                                                   {"CLEAN", false},
                                                   {"COMPROMISED", false}}) {
            shell.showVerdict(verdict, demo);
        }
        QCOMPARE(shell.alertsRaised(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(service.shown.size(), 2, kWait);
        QCOMPARE(service.shown[1].summary, "Corvane Monitor — COMPROMISED");
        QVERIFY(service.shown[1].actions.contains("Open Dashboard"));
        QCOMPARE(service.shown[1].timeout, 0);
        QVERIFY(shell.needsAttention());
        QVERIFY(shell.trayText().endsWith("needs attention"));
        first = shell.window();
        first->close();
        QTRY_VERIFY_WITH_TIMEOUT(!shell.window(), kWait);
        service.invoke(2, "open");
        QTRY_VERIFY_WITH_TIMEOUT(shell.window() && shell.window()->isVisible(), kWait);
        QVERIFY(!shell.needsAttention());
        monitor.stopMonitoring();
        QTRY_COMPARE_WITH_TIMEOUT(shell.trayText(), "Corvane Monitor — monitoring stopped", kWait);
        monitor.shutdown();
        QTRY_VERIFY_WITH_TIMEOUT(!monitor.isRunning(), kWait);
        QCOMPARE(logToolChildren(getpid()), 0);
    }

    // The real program: a second launch exits and brings the first forward; a signal ends
    // the first with the stop marker as the evidence log's last line.
    void programRunsOnce() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", temp_->filePath("data"));
        env.insert("XDG_CONFIG_HOME", temp_->filePath("config"));
        env.insert("XDG_RUNTIME_DIR", temp_->filePath("run"));
        QDir().mkpath(temp_->filePath("run"));
        QFile::setPermissions(temp_->filePath("run"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QDir().mkpath(temp_->filePath("config/Corvane"));
        QFile settings(temp_->filePath("config/Corvane/Corvane Monitor.conf"));
        QVERIFY(settings.open(QIODevice::WriteOnly));
        settings.write("[General]\ncv_onboarded=true\n");
        settings.close();
        const QString program = CORVANE_BIN_DIR "/corvane-monitor";
        const fs::path log = DataFolder(temp_->filePath("data/CV").toStdString()).evidenceLog();

        // As root the sandbox goes off with one line said; the web engine's chatter is not.
        env.remove("QTWEBENGINE_DISABLE_SANDBOX");
        QProcess first;
        first.setProcessEnvironment(env);
        first.start(program);
        QVERIFY(first.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(fs::exists(log) && fs::file_size(log) > 1000, 30000);

        QProcess second;
        second.setProcessEnvironment(env);
        second.start(program);
        QVERIFY(second.waitForFinished(30000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(first.state(), QProcess::Running);
        QCOMPARE(logToolChildren(static_cast<pid_t>(first.processId())), 1);

        ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
        QVERIFY(first.waitForFinished(30000));
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
        const QByteArray said = first.readAllStandardError();
        QVERIFY2(said.count('\n') <= (getuid() == 0 ? 1 : 0), said.constData());
        QVERIFY(lastLine(log).ends_with(Capture::stopMarker));
    }
};

const Register<LifecycleTest> registered;

} // namespace corvane::app::test

#include "LifecycleTest.moc"
