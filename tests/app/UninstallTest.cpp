// Export of the evidence and the uninstall, with the dialogs answered by the test.

#include "AppTestBase.h"
#include "app/ContentView.h"
#include "app/WebRadarView.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QProgressBar>
#include <QTimer>
#include <QWebEnginePage>
#include <fstream>

namespace corvane::app::test {

class UninstallTest : public AppTestBase {
    Q_OBJECT
  private slots:
    // Export and uninstall, with the dialogs answered by the test.
    void exportAndUninstall() {
        Monitor monitor(places());
        ContentView view(monitor);
        view.show();
        const fs::path folder = monitor.dataFolder();

        // Export without a log: the message, no dialog. "Export First…" does the same and
        // removes nothing.
        desktop_.answers = {1};
        view.uninstall();
        QCOMPARE(desktop_.questions.size(), 1);
        QCOMPARE(desktop_.questions[0].title, ContentView::kUninstallTitle);
        QCOMPARE(desktop_.questions[0].escape, 2); // Escape is Cancel
        QVERIFY(desktop_.savePrompts.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(monitor.lastError(),
                                  "No log to export yet — press Start Monitoring first.", kWait);
        QVERIFY(view.findChild<QLabel*>("errorLine")->isVisible());
        QVERIFY(fs::exists(folder));

        monitor.startMonitoring();
        QTRY_VERIFY_WITH_TIMEOUT(fs::exists(DataFolder(folder).evidenceLog()), kWait);
        waitForToken(monitor, 2);

        // Cancelling the save dialog writes nothing; a chosen path gets the archive. The
        // folder proposed exists (Documents, else home), never the working folder.
        view.exportEvidence();
        QCOMPARE(desktop_.savePrompts.size(), 2);
        QVERIFY(QFileInfo(desktop_.savePrompts[1]).fileName().endsWith(".zip"));
        QVERIFY(QFileInfo(desktop_.savePrompts[1]).dir().exists());
        QVERIFY(QFileInfo(desktop_.savePrompts[1]).path() != QDir::currentPath());
        desktop_.savePath = temp_->filePath("out/evidence.zip");
        view.exportEvidence();
        QTRY_COMPARE_WITH_TIMEOUT(monitor.lastError(), "Export failed — No such file or directory.",
                                  kWait); // no such folder
        QDir().mkpath(temp_->filePath("out"));
        // Success says where the archive went and offers to show it.
        const int asked = desktop_.questions.size();
        desktop_.answers = {1};
        view.exportEvidence();
        QTRY_COMPARE_WITH_TIMEOUT(desktop_.questions.size(), asked + 1, kWait);
        QVERIFY(QFileInfo::exists(desktop_.savePath));
        QCOMPARE(desktop_.questions.last().title, "Evidence exported");
        QVERIFY(desktop_.questions.last().text.contains(desktop_.savePath));
        QCOMPARE(desktop_.opened.last(), QUrl::fromLocalFile(temp_->filePath("out")));

        // Re-run Setup asks first; Escape (the dialog's safe answer) forgets nothing.
        QSettings().setValue(Monitor::kOnboardedKey, true);
        emit monitor.onboardedChanged();
        view.rerunSetup();
        QCOMPARE(desktop_.questions.last().title, "Re-run Setup?");
        QCOMPARE(desktop_.questions.last().buttons[desktop_.questions.last().escape], "Cancel");
        QVERIFY(monitor.onboarded() && !view.onboarding());

        // The real dialog: Escape in the uninstall question cancels it.
        Dialogs::setHooks({});
        QTimer::singleShot(300, [] {
            snap(QApplication::activeModalWidget(), "uninstall-question");
            QTest::keyClick(QApplication::activeModalWidget(), Qt::Key_Escape);
        });
        view.uninstall();
        desktop_.install();
        QVERIFY(monitor.isRunning() && fs::exists(folder));

        // Stopped is said in the window, not left to look like a quiet day.
        monitor.stopMonitoring();
        auto* banner = view.findChild<QLabel*>("stateBanner");
        QTRY_VERIFY_WITH_TIMEOUT(banner->isVisible(), kWait);
        QVERIFY(banner->text().startsWith("Monitoring is stopped."));
        QCOMPARE(monitor.watch(), Monitor::Watch::Stopped);
        snap(&view, "stopped");
        monitor.startMonitoring();
        QTRY_VERIFY_WITH_TIMEOUT(monitor.isRunning() && !banner->isVisible(), kWait);

        // Cancel changes nothing.
        desktop_.answers = {2};
        view.uninstall();
        QVERIFY(monitor.isRunning() && monitor.timerActive() && fs::exists(folder));

        // Uninstall: everything gone by the final notice, and nothing comes back.
        QSettings().setValue(Monitor::kOnboardedKey, true);
        monitor.runSift(true); // a pass queued just before
        bool goneAtNotice = false;
        desktop_.onQuestion = [&](const Dialogs::Question& q) {
            if (q.title == ContentView::kRemovedTitle) {
                goneAtNotice = !fs::exists(folder) && !QSettings().contains(Monitor::kOnboardedKey);
            }
        };
        desktop_.answers = {0, 1};
        view.uninstall();
        QTRY_VERIFY_WITH_TIMEOUT(goneAtNotice, kWait);
        QCOMPARE(desktop_.questions.last().text, ContentView::kRemovedBody);
        QTRY_VERIFY_WITH_TIMEOUT(!monitor.isRunning(), kWait);
        QVERIFY(!monitor.timerActive());
        QTest::qWait(500);
        QVERIFY(!fs::exists(folder));
        QVERIFY(!monitor.onboarded());
        // The empty state everywhere: no verdict for the tray, setup over the window.
        QVERIFY(monitor.verdict().isEmpty() && !monitor.demoLoaded());
        QVERIFY(view.onboarding());
        snap(&view, "after-uninstall");
    }

    // Nothing slow runs on the window's thread: exporting a large log (with its progress
    // shown) and an uninstall that waits for a pass and for a vault removal the owner then
    // declines both keep the event loop turning; the final notice says the vault is still
    // there. CORVANE_STALL_LOG_BYTES sets the log's size (64 MiB by default).
    void slowWorkKeepsTheWindowTurning() {
        const DataFolder data(places().dataFolder);
        fs::create_directories(data.root);
        const qulonglong bytes = qEnvironmentVariableIsSet("CORVANE_STALL_LOG_BYTES")
                                     ? qEnvironmentVariable("CORVANE_STALL_LOG_BYTES").toULongLong()
                                     : 64ull << 20;
        {
            std::string chunk;
            while (chunk.size() < (1u << 20)) {
                chunk += "2026-10-18 09:12:01.000000-0700  localhost rapportd[310]: noise " +
                         std::to_string(chunk.size()) + "\n";
            }
            std::ofstream log(data.evidenceLog(), std::ios::binary);
            for (qulonglong written = 0; written < bytes; written += chunk.size()) {
                log << chunk;
            }
        }
        Monitor monitor(places());
        ContentView view(monitor);
        view.show();
        QTRY_VERIFY_WITH_TIMEOUT(!view.web()->page()->isLoading(), kWait);
        QTest::qWait(1500); // the page's first paint, which is the web view's own

        desktop_.savePath = temp_->filePath("evidence.zip");
        view.exportEvidence();
        auto* progress = view.findChild<QProgressBar*>("exportProgress");
        int progressSeen = -1;
        const qint64 exportStall = longestStallMs(
            [&] {
                if (progress->isVisible()) {
                    progressSeen = std::max(progressSeen, progress->value());
                }
                return !desktop_.questions.isEmpty() || !monitor.lastError().isEmpty();
            },
            600'000);
        qInfo("export of %llu bytes: longest event-loop stall %lld ms", bytes, exportStall);
        QCOMPARE(monitor.lastError(), QString());
        QCOMPARE(desktop_.questions.last().title, "Evidence exported");
        QVERIFY(QFileInfo(desktop_.savePath).size() > 0);
        QVERIFY(progressSeen > 0);
        QVERIFY(!progress->isVisible());
        QVERIFY2(exportStall < 200, qPrintable(QString::number(exportStall)));

        // A pass over the large log runs when the uninstall begins; the vault's removal asks
        // for a password for a second and is declined (pkexec's status for that).
        fs::create_directories(places().vaultFolder);
        std::ofstream(places().vaultFolder / VaultLayout::kMasterFile) << "seal\n";
        const QString bin = temp_->filePath("bin");
        QDir().mkpath(bin);
        QFile pkexec(bin + "/pkexec");
        QVERIFY(pkexec.open(QIODevice::WriteOnly));
        pkexec.write("#!/bin/sh\nsleep 1\nexit 126\n");
        pkexec.close();
        pkexec.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", bin.toUtf8() + ":" + path);
        monitor.runSift(false);
        desktop_.answers = {0, 1};
        const int before = desktop_.questions.size();
        view.uninstall();
        const qint64 uninstallStall =
            longestStallMs([&] { return desktop_.questions.size() == before + 2; }, 60'000);
        qputenv("PATH", path);
        qInfo("uninstall: longest event-loop stall %lld ms", uninstallStall);
        QCOMPARE(desktop_.questions.size(), before + 2);
        QCOMPARE(desktop_.questions.last().title, ContentView::kVaultLeftTitle);
        QVERIFY(!fs::exists(data.root));
        QVERIFY(!monitor.onboarded());
        QVERIFY2(uninstallStall < 200, qPrintable(QString::number(uninstallStall)));
    }
};

const Register<UninstallTest> registered;

} // namespace corvane::app::test

#include "UninstallTest.moc"
