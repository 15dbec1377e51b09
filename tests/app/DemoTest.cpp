// The demo data set and the way back to live analysis, and the reports the page asks for.

#include "AppTestBase.h"
#include "app/ContentView.h"
#include "app/WebRadarView.h"

#include <QSignalSpy>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <fstream>

namespace corvane::app::test {

class DemoTest : public AppTestBase {
    Q_OBJECT
  private slots:
    // Demo and Live: the canned files byte for byte, the reload after each, and Live
    // deriving the dashboard afresh from the evidence.
    void demoAndLive() {
        Monitor monitor(places());
        const DataFolder data(monitor.dataFolder());
        ContentView view(monitor);
        view.show();
        fs::create_directories(data.sift());
        std::ofstream(data.baselineFile()) << "{}";
        std::ofstream(data.sift() / "stale.json") << "{}";
        QSettings().setValue(Monitor::kOnboardedKey, true);
        emit monitor.onboardedChanged();
        QTRY_VERIFY_WITH_TIMEOUT(!view.onboarding(), kWait);

        QCOMPARE(monitor.reloadToken(), 1);
        QPushButton* demo = button(&view, "Demo");
        QPushButton* live = button(&view, "Live");
        QVERIFY(live->isChecked() && !demo->isChecked());
        demo->click();
        waitForToken(monitor, 2);
        QVERIFY(monitor.demoLoaded());
        QVERIFY(demo->isChecked() && !live->isChecked());
        QVERIFY(view.findChild<QWidget*>("demoBadge")->isVisible());
        std::set<std::string> expected{std::string(DataFolder::kBaselineFile)};
        for (const std::string_view name : DataFolder::kDashboardFiles) {
            expected.emplace(name);
            QCOMPARE(readFile(data.sift() / name),
                     readFile(fs::path(CORVANE_RESOURCES_DIR) / "demo" / name));
        }
        QCOMPARE(listing(data.sift()), expected);
        QVERIFY(fs::exists(data.demoLog()));
        QCOMPARE(monitor.verdict(), "COMPROMISED");
        QTest::qWait(1500);
        snap(&view, "dashboard-demo");

        // The real page, under its own content policy, reaches the app through the shim.
        QTRY_VERIFY_WITH_TIMEOUT(view.web()->url().toString().endsWith("radar.html"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!view.web()->page()->isLoading(), 20000);
        QTest::qWait(500);
        view.web()->page()->runJavaScript("document.getElementById('report').click()");
        QTRY_COMPARE_WITH_TIMEOUT(desktop_.opened.size(), 1, 20000);
        QCOMPARE(desktop_.opened[0].toLocalFile().toStdString(), data.report("ALL").string());

        // A pass while the demo is shown leaves the canned files alone.
        const std::string all = readFile(data.allFile());
        monitor.runSift(true);
        waitForToken(monitor, 3);
        QCOMPARE(readFile(data.allFile()), all);

        live->click();
        QVERIFY(!fs::exists(data.demoLog()));
        QVERIFY(!monitor.demoLoaded());
        waitForToken(monitor, 4);
        QVERIFY(fs::exists(data.baselineFile()));
        QVERIFY(!fs::exists(data.sift() / "stale.json"));
        QVERIFY(readFile(data.allFile()) != all);
        QVERIFY(monitor.verdict() != "COMPROMISED");
        monitor.shutdown();
    }

    // The report request from the page: a valid day is built and opened, a hostile one
    // builds nothing anywhere.
    void reports() {
        Monitor monitor(places());
        const DataFolder data(monitor.dataFolder());
        monitor.loadDemo();
        waitForToken(monitor, 1);
        monitor.openReport(QString("ALL"));
        QTRY_COMPARE_WITH_TIMEOUT(desktop_.opened.size(), 1, 20000);
        QCOMPARE(desktop_.opened[0].toLocalFile().toStdString(), data.report("ALL").string());
        monitor.openReport(QString("../x"));
        monitor.openReport(std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(desktop_.opened.size(), 2, 20000); // the last day: ALL
        QTest::qWait(300);
        QCOMPARE(desktop_.opened.size(), 2);
        QCOMPARE(listing(data.reports()), (std::set<std::string>{DataFolder::reportName("ALL")}));
        // A report of the demo says so on every page.
        QVERIFY(readFile(data.report("ALL")).find("DEMONSTRATION DATA — NOT EVIDENCE</div>") !=
                std::string::npos);
        if (!qEnvironmentVariableIsEmpty("CORVANE_SCREENSHOTS")) {
            QWebEngineView report;
            report.resize(900, 900);
            QSignalSpy loaded(&report, &QWebEngineView::loadFinished);
            report.load(desktop_.opened[0]);
            report.show();
            QTRY_COMPARE_WITH_TIMEOUT(loaded.count(), 1, kWait);
            snap(&report, "demo-report");
        }

        // An Evidence Vault that cannot be installed says why.
        Monitor bare({temp_->filePath("bare").toStdString(), temp_->filePath("v").toStdString(),
                      temp_->filePath("no-resources").toStdString(), places().logTool});
        bare.installVault();
        QTRY_VERIFY2_WITH_TIMEOUT(
            bare.lastError().startsWith("Evidence Vault not installed — its installer is missing"),
            qPrintable(bare.lastError()), kWait);
    }
};

const Register<DemoTest> registered;

} // namespace corvane::app::test

#include "DemoTest.moc"
