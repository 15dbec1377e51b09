// The control panel after setup: capture and a pass at once, the status bar through running,
// stopped, vault and error, and Re-run Setup.

#include "AppTestBase.h"
#include "app/ContentView.h"
#include "app/OnboardingView.h"
#include "app/DashboardBridge.h"
#include "app/WebRadarView.h"
#include "capture/Capture.h"

#include <QWebEnginePage>
#include <fstream>

namespace corvane::app::test {

class StatusBarTest : public AppTestBase {
    Q_OBJECT
  private slots:
    // A launch after setup: capture and a pass at once; the status bar through running,
    // stopped, vault, error; ticks never reload; Stop leaves the stop marker last.
    void onboardedLaunchAndStatusBar() {
        QSettings().setValue(Monitor::kOnboardedKey, true);
        fs::create_directories(places().vaultFolder);
        std::ofstream(places().vaultFolder / VaultLayout::kMasterFile) << "seal\n";
        Monitor monitor(places());
        const DataFolder data(monitor.dataFolder());
        ContentView view(monitor);
        view.show();
        QVERIFY(!view.onboarding());
        QCOMPARE(monitor.reloadToken(), 1);
        QVERIFY(monitor.timerActive());
        QTRY_VERIFY_WITH_TIMEOUT(monitor.isRunning(), kWait);
        waitForToken(monitor, 2); // the start's pass
        QVERIFY(fs::exists(data.summaryFile()));
        QVERIFY(fs::exists(data.radarPage()));

        auto* label = view.findChild<QWidget*>("monitoringLabel");
        QVERIFY(label->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(textOf(label).contains(QString::number(monitor.lineCount())),
                                 kWait);
        QVERIFY(view.findChild<QWidget*>("vaultSealed")->isVisible());
        QVERIFY(!button(&view, "Install Evidence Vault")->isVisible());
        QVERIFY(button(&view, "Stop")->isVisible());
        QVERIFY(!button(&view, "Start Monitoring")->isVisible());
        QVERIFY(!view.findChild<QWidget*>("demoBadge")->isVisible());
        for (auto* b : view.findChildren<QPushButton*>()) {
            QVERIFY2(!b->accessibleName().isEmpty(), qPrintable(b->text()));
        }
        QTRY_VERIFY_WITH_TIMEOUT(monitor.lineCount() > 1000, 20000);
        QTest::qWait(1500); // the page's first refresh
        snap(&view, "dashboard-live");

        // At the minimum size every control of the bar keeps its full width, and the page
        // needs no horizontal scrolling.
        view.resize(900, 640);
        QTRY_COMPARE_WITH_TIMEOUT(view.width(), 900, kWait);
        for (auto* b : view.findChild<QWidget*>("statusBar")->findChildren<QPushButton*>()) {
            QVERIFY2(!b->isVisible() || b->width() >= b->sizeHint().width(), qPrintable(b->text()));
        }
        QVariant overflow;
        view.web()->page()->runJavaScript(
            "document.documentElement.scrollWidth - document.documentElement.clientWidth",
            [&overflow](const QVariant& v) { overflow = v; });
        QTRY_VERIFY_WITH_TIMEOUT(overflow.isValid(), kWait);
        QCOMPARE(overflow.toInt(), 0);
        snap(&view, "minimum-size");
        view.resize(1180, 780);

        // A tick runs a pass without reloading the page. A state it cannot save shows in the
        // error line until saving works again.
        const fs::path state = data.liveState();
        fs::remove(state);
        fs::create_directory(state);
        monitor.runSift(false);
        QTRY_VERIFY2_WITH_TIMEOUT(monitor.lastError().startsWith("Can't save "),
                                  qPrintable(monitor.lastError()), kWait);
        auto* error = view.findChild<QLabel*>("errorLine");
        QTRY_VERIFY_WITH_TIMEOUT(error->isVisible(), kWait);
        snap(&view, "error-line");
        fs::remove(state);
        monitor.runSift(false);
        QTRY_COMPARE_WITH_TIMEOUT(monitor.lastError(), QString(), kWait);
        QCOMPARE(monitor.reloadToken(), 2);

        const qint64 lines = monitor.lineCount();
        button(&view, "Stop")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!monitor.isRunning(), kWait);
        QVERIFY(!monitor.timerActive());
        waitForToken(monitor, 3);
        QVERIFY(button(&view, "Start Monitoring")->isVisible());
        QVERIFY(!label->isVisible());
        QVERIFY(lastLine(data.evidenceLog()).ends_with(Capture::stopMarker));
        QVERIFY(monitor.lineCount() > lines); // not reset by Stop

        // Without the vault, the install button.
        fs::remove_all(places().vaultFolder);
        ContentView second(monitor);
        second.show();
        QVERIFY(!second.findChild<QWidget*>("vaultSealed")->isVisible());
        waitForToken(monitor, 5); // +1 appearing, +1 the onboarded start's pass

        // Re-run Setup takes away the learned phone only; monitoring goes on.
        QTRY_VERIFY_WITH_TIMEOUT(monitor.isRunning(), kWait);
        std::ofstream(data.baselineFile()) << "{}";
        desktop_.answers = {1}; // "Re-run Setup" in its question
        button(&second, "Re-run Setup")->click();
        QVERIFY(second.onboarding());
        QCOMPARE(second.onboarding()->step(), OnboardingView::Step::welcome);
        QTRY_VERIFY_WITH_TIMEOUT(!fs::exists(data.baselineFile()), kWait);
        QVERIFY(fs::exists(data.summaryFile()));
        QVERIFY(monitor.isRunning() && monitor.timerActive());

        // A hostile confirmation from the page: refused, said in a line of plain text.
        emit second.web()->bridge().trustRequested("<img src=x>" + QString(1 << 20, 'A'));
        auto* refused = second.findChild<QLabel*>("errorLine");
        QTRY_VERIFY_WITH_TIMEOUT(refused->text().startsWith("Can't confirm the device"), kWait);
        QVERIFY(refused->text().size() < 200 && refused->textFormat() == Qt::PlainText);
        monitor.shutdown();
    }
};

const Register<StatusBarTest> registered;

} // namespace corvane::app::test

#include "StatusBarTest.moc"
