#include "TestConfig.h"
#include "app/ContentView.h"
#include "app/Dialogs.h"
#include "app/Monitor.h"
#include "app/OnboardingView.h"
#include "app/Shell.h"
#include "app/Style.h"
#include "app/WebRadarView.h"
#include "capture/Capture.h"
#include "capture/DataFolder.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWebEnginePage>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace corvane;
using namespace corvane::app;
namespace fs = std::filesystem;

namespace {

// Generous: CI runs this beside other tests on two cores, and the web engine starts slowly.
constexpr int kWait = 15000;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string lastLine(const fs::path& path) {
    std::string text = readFile(path);
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text.substr(text.rfind('\n') + 1);
}

std::set<std::string> listing(const fs::path& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

/// The log streams (corvane-log stream) whose parent is `parent`.
int logToolChildren(pid_t parent) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string stat = readFile(entry.path() / "stat");
        const auto open = stat.find('(');
        const auto close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) {
            continue;
        }
        std::istringstream rest(stat.substr(close + 2));
        char state = 0;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent && stat.substr(open + 1, close - open - 1) == "corvane-log" &&
            readFile(entry.path() / "cmdline").find("stream") != std::string::npos) {
            ++count;
        }
    }
    return count;
}

/// Saves a picture of `widget` when CORVANE_SCREENSHOTS names a folder (make screenshots).
void snap(QWidget* widget, const QString& name) {
    const QString folder = qEnvironmentVariable("CORVANE_SCREENSHOTS");
    if (folder.isEmpty()) {
        return;
    }
    QTest::qWait(400); // let the web view paint its latest frame
    widget->grab().save(folder + "/" + name + ".png");
}

QString textOf(QWidget* row) {
    return row->findChild<QLabel*>("text")->text();
}

/// What the dialogs were asked, and the answers they give, in order.
struct FakeDesktop {
    QList<Dialogs::Question> questions;
    QList<int> answers;
    QList<QUrl> opened;
    QStringList savePrompts;
    QString savePath;
    std::function<void(const Dialogs::Question&)> onQuestion;

    void install() {
        Dialogs::setHooks({[this](const Dialogs::Question& q) {
                               questions.append(q);
                               if (onQuestion) {
                                   onQuestion(q);
                               }
                               return answers.isEmpty() ? -1 : answers.takeFirst();
                           },
                           [this](const QString& title, const QString& proposed) {
                               savePrompts << title << proposed;
                               return savePath;
                           },
                           [this](const QUrl& url) { opened.append(url); }});
    }
};

} // namespace

class AppTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<QTemporaryDir> temp_;
    FakeDesktop desktop_;

    MonitorPlaces places() const {
        const fs::path root = temp_->path().toStdString();
        return {root / "CV", root / "vault", CORVANE_RESOURCES_DIR,
                fs::path(CORVANE_BIN_DIR) / "corvane-log"};
    }

    static void waitForToken(Monitor& monitor, qint64 token) {
        QTRY_COMPARE_WITH_TIMEOUT(monitor.reloadToken(), token, 20000);
    }

  private slots:
    void init() {
        temp_ = std::make_unique<QTemporaryDir>();
        QSettings().clear();
        qunsetenv("CORVANE_LOG_DENY");
        desktop_ = FakeDesktop{};
        desktop_.install();
    }

    void cleanup() {
        QSettings().clear();
        Dialogs::setHooks({});
    }

    // First launch: the assistant covers the window, nothing runs until the verification
    // step, and every page of the assistant behaves as the owner walks through it.
    void onboardingWalkThrough() {
        qputenv("CORVANE_LOG_DENY", "1");
        Monitor monitor(places());
        ContentView view(monitor);
        view.show();
        OnboardingView* setup = view.onboarding();
        QVERIFY(setup);
        QCOMPARE(setup->geometry(), view.rect());
        QCOMPARE(monitor.reloadToken(), 1);
        QVERIFY(!monitor.timerActive());
        QVERIFY(!monitor.isRunning());
        QVERIFY(!view.findChild<QWidget*>("fdaRow")->isVisible()); // hidden until the probe fails
        QCOMPARE(setup->step(), OnboardingView::Step::welcome);
        snap(&view, "setup-1-welcome");

        QTest::keyClick(setup, Qt::Key_Return);
        QCOMPARE(setup->step(), OnboardingView::Step::fda);
        QTRY_VERIFY_WITH_TIMEOUT(!monitor.hasFullDiskAccess(), kWait);
        QVERIFY(view.findChild<QWidget*>("fdaRow")->isVisible());
        QCOMPARE(textOf(setup->findChild<QWidget*>("fdaStatusRow")), "Not yet enabled");
        QVERIFY(!setup->defaultButton()->isEnabled());
        QTest::keyClick(setup, Qt::Key_Return); // Continue is disabled: nothing happens
        QCOMPARE(setup->step(), OnboardingView::Step::fda);
        snap(&view, "setup-2-full-disk-access");

        qunsetenv("CORVANE_LOG_DENY");
        setup->findChildren<QPushButton*>().at(0); // the page's buttons exist
        for (auto* b : setup->findChildren<QPushButton*>()) {
            if (b->text() == "Re-check") {
                b->click();
            }
        }
        QTRY_VERIFY_WITH_TIMEOUT(monitor.hasFullDiskAccess(), kWait);
        QCOMPARE(textOf(setup->findChild<QWidget*>("fdaStatusRow")), "Full Disk Access granted");
        QVERIFY(!view.findChild<QWidget*>("fdaRow")->isVisible());

        // Lines of the replayed capture are stamped from "now"; start the window a little
        // earlier so the first second's lines count.
        setup->setClock([] { return QDateTime::currentSecsSinceEpoch() - 5.0; });
        setup->setTickInterval(3'600'000); // the test ticks by hand
        QTest::keyClick(setup, Qt::Key_Return);
        QCOMPARE(setup->step(), OnboardingView::Step::verify);
        QVERIFY(setup->running());
        QCOMPARE(setup->remaining(), OnboardingView::VERIFY_SECONDS);
        QVERIFY(monitor.timerActive());
        QTRY_VERIFY_WITH_TIMEOUT(monitor.isRunning(), kWait);
        QCOMPARE(setup->cancelButton()->text(), "Skip for now");
        QVERIFY(!setup->defaultButton()); // Return does nothing while waiting
        snap(&view, "setup-3-verify-waiting");

        // Let the replay arrive, then the learning attempt at 590 finds the phone.
        QTRY_VERIFY_WITH_TIMEOUT(monitor.lineCount() > 1000, 20000);
        for (int i = 0; i < 10; ++i) {
            setup->tick();
        }
        QCOMPARE(setup->remaining(), 590);
        QTRY_VERIFY_WITH_TIMEOUT(setup->bleMac().has_value(), kWait);
        const fs::path baseline = DataFolder(monitor.dataFolder()).baselineFile();
        QTRY_VERIFY_WITH_TIMEOUT(fs::exists(baseline), kWait);
        const auto learned = QJsonDocument::fromJson(QByteArray::fromStdString(readFile(baseline)));
        QCOMPARE(learned["my_ble_mac"][0].toString(), *setup->bleMac());
        QCOMPARE(learned["my_conn_state"].toString(), "searching");
        QCOMPARE(textOf(setup->findChild<QWidget*>("bleRow")), "BLE id: " + *setup->bleMac());
        auto* directLink = setup->findChild<QLabel*>("directLinkLine");
        QCOMPARE(directLink->text(), "DirectLink: searching in background…");
        QCOMPARE(setup->defaultButton()->text(), "Continue");
        QVERIFY(!setup->cancelButton());

        // The evaluation at 580 reports the DirectLink state.
        QSignalSpy evaluated(setup, &OnboardingView::verifyStatusChanged);
        for (int i = 0; i < 10; ++i) {
            setup->tick();
        }
        QTRY_COMPARE_WITH_TIMEOUT(evaluated.count(), 1, kWait);
        if (setup->connMac()) {
            QCOMPARE(directLink->text(),
                     "DirectLink: " + *setup->connMac() + "  (" + setup->connState() + ")");
        }
        snap(&view, "setup-3-verify-found");

        QTest::keyClick(setup, Qt::Key_Return);
        QCOMPARE(setup->step(), OnboardingView::Step::demo);
        QVERIFY(!setup->running());
        snap(&view, "setup-4-demo");

        const qint64 before = monitor.reloadToken();
        for (auto* b : setup->findChildren<QPushButton*>()) {
            if (b->text() == "Skip to live") {
                b->click();
            }
        }
        QVERIFY(monitor.onboarded());
        QVERIFY(QSettings().value("cv_onboarded").toBool());
        waitForToken(monitor, before + 1); // finish's pass
        QTRY_VERIFY_WITH_TIMEOUT(!view.onboarding(), kWait);
        QVERIFY(!monitor.demoLoaded());
        monitor.shutdown();
    }

    // The countdown on its own: Escape skips while waiting; a countdown that ends without a
    // phone makes one last attempt and stays on the page.
    void countdownWithoutPhone() {
        qputenv("CORVANE_LOG_SOURCE", "/dev/null");
        Monitor monitor(places());
        OnboardingView setup(monitor);
        QTest::keyClick(&setup, Qt::Key_Return);
        QTest::keyClick(&setup, Qt::Key_Return); // access granted by the stand-in
        QTRY_COMPARE_WITH_TIMEOUT(setup.step(), OnboardingView::Step::verify, kWait);
        QSignalSpy status(&setup, &OnboardingView::verifyStatusChanged);
        while (setup.remaining() > 0) {
            setup.tick();
        }
        QVERIFY(!setup.running());
        QTRY_VERIFY_WITH_TIMEOUT(status.count() >= 1, kWait); // the final evaluation came back
        QVERIFY(!setup.bleMac());
        QCOMPARE(setup.step(), OnboardingView::Step::verify);
        QCOMPARE(setup.cancelButton()->text(), "Skip for now");
        QVERIFY(!fs::exists(DataFolder(monitor.dataFolder()).baselineFile()));
        QTest::keyClick(&setup, Qt::Key_Escape);
        QCOMPARE(setup.step(), OnboardingView::Step::demo);

        // "Load Demo" loads the demo before finishing.
        QTest::keyClick(&setup, Qt::Key_Return);
        QVERIFY(monitor.onboarded());
        QTRY_VERIFY_WITH_TIMEOUT(monitor.demoLoaded(), kWait);
        qunsetenv("CORVANE_LOG_SOURCE");
        monitor.shutdown();
    }

    // A launch after setup: capture and a pass at once; the status bar through running,
    // stopped, vault, error; ticks never reload; Stop leaves the stop marker last.
    void onboardedLaunchAndStatusBar() {
        QSettings().setValue("cv_onboarded", true);
        fs::create_directories(places().vaultFolder);
        std::ofstream(places().vaultFolder / VaultLayout::kMasterFile) << "seal\n";
        Monitor monitor(places());
        ContentView view(monitor);
        view.show();
        QVERIFY(!view.onboarding());
        QCOMPARE(monitor.reloadToken(), 1);
        QVERIFY(monitor.timerActive());
        QTRY_VERIFY_WITH_TIMEOUT(monitor.isRunning(), kWait);
        waitForToken(monitor, 2); // the start's pass
        QVERIFY(fs::exists(DataFolder(monitor.dataFolder()).summaryFile()));
        QVERIFY(fs::exists(DataFolder(monitor.dataFolder()).radarPage()));

        auto* label = view.findChild<QWidget*>("monitoringLabel");
        QVERIFY(label->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(textOf(label),
                                  QString("Monitoring %1 events").arg(monitor.lineCount()), kWait);
        QVERIFY(view.findChild<QWidget*>("vaultSealed")->isVisible());
        auto buttons = view.findChildren<QPushButton*>();
        auto visible = [&](const QString& text) {
            for (auto* b : buttons) {
                if (b->text() == text) {
                    return b->isVisible();
                }
            }
            return false;
        };
        QVERIFY(!visible("Install Evidence Vault"));
        QVERIFY(visible("Stop"));
        QVERIFY(!visible("Start Monitoring"));
        QVERIFY(!view.findChild<QWidget*>("demoBadge")->isVisible());
        for (auto* b : buttons) {
            QVERIFY2(!b->accessibleName().isEmpty(), qPrintable(b->text()));
        }
        QTRY_VERIFY_WITH_TIMEOUT(monitor.lineCount() > 1000, 20000);
        QTest::qWait(1500); // the page's first refresh
        snap(&view, "dashboard-live");

        // A tick runs a pass without reloading the page. A state it cannot save shows in the
        // error line until saving works again.
        const fs::path state = DataFolder(monitor.dataFolder()).liveState();
        fs::remove(state);
        fs::create_directory(state);
        monitor.runSift(false);
        QTRY_VERIFY2_WITH_TIMEOUT(
            monitor.lastError().startsWith("Can't save cv_state_live.json \u2014 "),
            qPrintable(monitor.lastError()), kWait);
        fs::remove(state);
        monitor.runSift(false);
        QTRY_COMPARE_WITH_TIMEOUT(monitor.lastError(), QString(), kWait);
        QCOMPARE(monitor.reloadToken(), 2);

        monitor.setLastError("Another capture is already writing this evidence log.");
        auto* error = view.findChild<QLabel*>("errorLine");
        QTRY_VERIFY_WITH_TIMEOUT(error->isVisible(), kWait);
        QCOMPARE(error->text(), "Another capture is already writing this evidence log.");
        snap(&view, "error-line");

        const qint64 lines = monitor.lineCount();
        for (auto* b : buttons) {
            if (b->text() == "Stop") {
                b->click();
            }
        }
        QTRY_VERIFY_WITH_TIMEOUT(!monitor.isRunning(), kWait);
        QVERIFY(!monitor.timerActive());
        waitForToken(monitor, 3);
        QVERIFY(visible("Start Monitoring"));
        QVERIFY(!label->isVisible());
        QCOMPARE(
            lastLine(DataFolder(monitor.dataFolder()).evidenceLog()),
            std::string(Capture::stopMarker)
                .insert(0, lastLine(DataFolder(monitor.dataFolder()).evidenceLog()).substr(0, 22)));
        QVERIFY(monitor.lineCount() > lines); // not reset by Stop

        // Without the vault, the install button.
        fs::remove_all(places().vaultFolder);
        ContentView second(monitor);
        second.show();
        QVERIFY(!second.findChild<QWidget*>("vaultSealed")->isVisible());
        waitForToken(monitor, 5); // +1 appearing, +1 the onboarded start's pass

        // Re-run Setup takes away the learned phone only; monitoring goes on.
        QTRY_VERIFY_WITH_TIMEOUT(monitor.isRunning(), kWait);
        std::ofstream(DataFolder(monitor.dataFolder()).baselineFile()) << "{}";
        for (auto* b : second.findChildren<QPushButton*>()) {
            if (b->text() == "Re-run Setup") {
                b->click();
            }
        }
        QVERIFY(second.onboarding());
        QCOMPARE(second.onboarding()->step(), OnboardingView::Step::welcome);
        QTRY_VERIFY_WITH_TIMEOUT(!fs::exists(DataFolder(monitor.dataFolder()).baselineFile()),
                                 kWait);
        QVERIFY(fs::exists(DataFolder(monitor.dataFolder()).summaryFile()));
        QVERIFY(monitor.isRunning() && monitor.timerActive());
        monitor.shutdown();
    }

    // Demo and Live: the canned files byte for byte, the reload after each, and Live
    // deriving the dashboard afresh from the evidence.
    void demoAndLive() {
        Monitor monitor(places());
        ContentView view(monitor);
        view.show();
        fs::create_directories(monitor.dataFolder() / "sift");
        std::ofstream(DataFolder(monitor.dataFolder()).baselineFile()) << "{}";
        std::ofstream(monitor.dataFolder() / "sift/stale.json") << "{}";
        QSettings().setValue("cv_onboarded", true);
        emit monitor.onboardedChanged();
        QTRY_VERIFY_WITH_TIMEOUT(!view.onboarding(), kWait);

        QCOMPARE(monitor.reloadToken(), 1);
        view.findChildren<QPushButton*>("")[0]; // buttons exist
        QPushButton* demo = nullptr;
        QPushButton* live = nullptr;
        for (auto* b : view.findChildren<QPushButton*>()) {
            if (b->text() == "Demo") {
                demo = b;
            } else if (b->text() == "Live") {
                live = b;
            }
        }
        QVERIFY(live->isChecked() && !demo->isChecked());
        demo->click();
        waitForToken(monitor, 2);
        QVERIFY(monitor.demoLoaded());
        QVERIFY(demo->isChecked() && !live->isChecked());
        QVERIFY(view.findChild<QWidget*>("demoBadge")->isVisible());
        const fs::path sift = monitor.dataFolder() / "sift";
        QCOMPARE(listing(sift),
                 (std::set<std::string>{"ALL.json", "baseline.json", "days.json", "summary.json"}));
        QCOMPARE(readFile(DataFolder(monitor.dataFolder()).demoLog()), "demo");
        QCOMPARE(readFile(sift / "days.json"), R"({"days":["ALL"]})");
        QCOMPARE(
            readFile(sift / "summary.json"),
            R"({"generated":"2026-10-18T20:10:40Z","verdict":"COMPROMISED","own_device_tail":"A1B2C3D4E5F6","own_accounts":["BBownMgr1"],"directlink_macs_total":189,"your_phone_macs":142,"foreign_directlink_macs":47,"foreign_awdl_macs":63,"foreign_device_ids":6,"foreign_accounts":1,"days":1})");
        const std::string all = readFile(sift / "ALL.json");
        QCOMPARE(all.size(), size_t{5281});
        QVERIFY(all.starts_with("{\n  \"date\":\"ALL\",\n") && all.ends_with("\n}"));
        const QJsonObject dashboard =
            QJsonDocument::fromJson(QByteArray::fromStdString(all)).object();
        QCOMPARE(dashboard["rogue_directlink"].toArray().size(), 5);
        QCOMPARE(dashboard["rogue_awdl"].toArray().size(), 5);
        QCOMPARE(dashboard["access_events"].toArray().size(), 5);
        QCOMPARE(dashboard["provision_pairs"].toArray().size(), 5);
        QCOMPARE(dashboard["kbd_evals"].toArray().size(), 6);
        QCOMPARE(dashboard["culprits"].toArray().size(), 1);
        QCOMPARE(dashboard["kbd_evals_total"].toInt(), 96);
        QCOMPARE(monitor.verdict(), "COMPROMISED");
        QTest::qWait(1500);
        snap(&view, "dashboard-demo");

        // The real page, under its own content policy, reaches the app through the shim.
        QTRY_VERIFY_WITH_TIMEOUT(view.web()->url().toString().endsWith("radar.html"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!view.web()->page()->isLoading(), 20000);
        QTest::qWait(500);
        view.web()->page()->runJavaScript("document.getElementById('report').click()");
        QTRY_COMPARE_WITH_TIMEOUT(desktop_.opened.size(), 1, 20000);
        QVERIFY(desktop_.opened[0].toLocalFile().endsWith("reports/CV-Report-ALL.html"));

        // A pass while the demo is shown leaves the canned files alone.
        monitor.runSift(true);
        waitForToken(monitor, 3);
        QCOMPARE(readFile(sift / "ALL.json"), all);

        live->click();
        QVERIFY(!fs::exists(DataFolder(monitor.dataFolder()).demoLog()));
        QVERIFY(!monitor.demoLoaded());
        waitForToken(monitor, 4);
        QVERIFY(fs::exists(sift / "baseline.json"));
        QVERIFY(!fs::exists(sift / "stale.json"));
        QVERIFY(readFile(sift / "ALL.json") != all);
        QVERIFY(monitor.verdict() != "COMPROMISED");
        monitor.shutdown();
    }

    // The bridge in the real web view: the shim, the allow-list, link policy, the reload
    // token and what the page may read.
    void bridgeInTheWebView() {
        const fs::path folder = places().dataFolder;
        fs::create_directories(folder / "sift");
        fs::copy_file(CORVANE_SOURCE_DIR "/tests/app/bridge_fixture.html",
                      DataFolder(folder).radarPage());
        std::ofstream(folder / "raw_log.html") << "<!doctype html><title>raw</title>";
        std::ofstream(DataFolder(folder).daysFile()) << R"({"days":["ALL"]})";
        const fs::path outside = temp_->path().toStdString() + "/secret.txt";
        std::ofstream(outside) << "secret";
        fs::create_symlink(outside, folder / "link.txt");

        WebRadarView web(folder);
        web.resize(600, 400);
        web.show();
        QList<std::optional<QString>> reports;
        int uninstalls = 0;
        web.bridge().onReport = [&](std::optional<QString> day) { reports.append(day); };
        web.bridge().onUninstall = [&] { ++uninstalls; };

        QSignalSpy loaded(web.page(), &QWebEnginePage::loadFinished);
        web.setReloadToken(3);
        QTRY_COMPARE_WITH_TIMEOUT(loaded.count(), 1, 30000);
        // Posted before the channel was ready, delivered once it is.
        QTRY_COMPARE_WITH_TIMEOUT(reports.size(), 1, 10000);
        QCOMPARE(reports[0], std::optional<QString>("early"));

        auto run = [&](const QString& script) {
            QVariant result;
            bool done = false;
            web.page()->runJavaScript(script, [&](const QVariant& value) {
                result = value;
                done = true;
            });
            [&] { QTRY_VERIFY_WITH_TIMEOUT(done, 10000); }();
            return result;
        };
        run(R"(
            var h = window.webkit.messageHandlers;
            h.cv.postMessage("report");
            h.cv.postMessage({action: "launch"});
            h.cv.postMessage({day: "2026-10-18"});
            h.cv.postMessage({action: 7});
            h.cv.postMessage({action: "report", day: "2026-10-18"});
            h.cv.postMessage({action: "report"});
            h.cv.postMessage({action: "report", day: 20261018});
            h.cv.postMessage({action: "report", day: "../x"});
            h.cv.postMessage({action: "uninstall"});
            typeof h.other + "," + typeof window.QWebChannel;
        )");
        QTRY_COMPARE_WITH_TIMEOUT(uninstalls, 1, kWait);
        QCOMPARE(reports.size(), 5);
        QCOMPARE(reports[1], std::optional<QString>("2026-10-18"));
        QCOMPARE(reports[2], std::nullopt);
        QCOMPARE(reports[3], std::nullopt);
        QCOMPARE(reports[4], std::optional<QString>("../x"));
        QCOMPARE(
            run("typeof window.webkit.messageHandlers.other + ',' + typeof QWebChannel").toString(),
            "undefined,undefined");

        // The page reads its own folder and nothing else, not even through a link.
        const QString readScript = R"(
            (function (url) {
              try {
                var x = new XMLHttpRequest();
                x.open("GET", url, false);
                x.send();
                return x.status === 0 || x.status === 200 ? x.responseText : "status " + x.status;
              } catch (e) { return "refused"; }
            })("%1"))";
        QCOMPARE(run(readScript.arg("sift/days.json")).toString(), R"({"days":["ALL"]})");
        QCOMPARE(run(readScript.arg(
                         QUrl::fromLocalFile(QString::fromStdString(outside.string())).toString()))
                     .toString(),
                 "refused");
        QCOMPARE(run(readScript.arg("link.txt")).toString(), "refused");
        QCOMPARE(run(readScript.arg("file:///etc/hostname")).toString(), "refused");
        run("fetch('https://example.invalid/beacon').then(() => window.beacon = 'sent',"
            " () => window.beacon = 'refused')");
        QTRY_COMPARE_WITH_TIMEOUT(run("window.beacon").toString(), "refused", kWait);

        // Web links go to the default browser and the dashboard stays; local links navigate.
        const QUrl page = web.url();
        run("document.getElementById('web').click()");
        QTRY_COMPARE_WITH_TIMEOUT(desktop_.opened.size(), 1, kWait);
        QCOMPARE(desktop_.opened[0], QUrl("https://example.invalid/help"));
        QCOMPARE(web.url(), page);
        // target=_blank, clicked with the mouse: the default browser, no second window.
        const QRect box = [&] {
            const QVariantList r = run("(function () { var b = document.getElementById('blank')"
                                       ".getBoundingClientRect(); return [b.left, b.top, b.width,"
                                       " b.height]; })()")
                                       .toList();
            return QRect(r[0].toInt(), r[1].toInt(), r[2].toInt(), r[3].toInt());
        }();
        QTest::mouseClick(web.focusProxy(), Qt::LeftButton, {}, box.center());
        QTRY_COMPARE_WITH_TIMEOUT(desktop_.opened.size(), 2, kWait);
        QCOMPARE(desktop_.opened[1], QUrl("https://example.invalid/new"));
        QCOMPARE(web.url(), page);
        run("document.getElementById('local').click()");
        QTRY_VERIFY_WITH_TIMEOUT(web.url().toString().endsWith("raw_log.html"), kWait);

        // Reload exactly when the token changes.
        const int loads = web.loadCount();
        web.setReloadToken(3);
        QCOMPARE(web.loadCount(), loads);
        web.setReloadToken(4);
        QCOMPARE(web.loadCount(), loads + 1);
        QTRY_VERIFY_WITH_TIMEOUT(web.url().toString().endsWith("radar.html"), kWait);

        // Without a page the view stays as it is.
        fs::remove(DataFolder(folder).radarPage());
        web.setReloadToken(5);
        QCOMPARE(web.loadCount(), loads + 1);
    }

    // The report request from the page: a valid day is built and opened, a hostile one
    // builds nothing anywhere.
    void reports() {
        Monitor monitor(places());
        monitor.loadDemo();
        waitForToken(monitor, 1);
        monitor.openReport(QString("ALL"));
        QTRY_COMPARE_WITH_TIMEOUT(desktop_.opened.size(), 1, 20000);
        QCOMPARE(desktop_.opened[0].toLocalFile().toStdString(),
                 (DataFolder(monitor.dataFolder()).report("ALL")).string());
        monitor.openReport(QString("../x"));
        monitor.openReport(std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(desktop_.opened.size(), 2, 20000); // the last day: ALL
        QTest::qWait(300);
        QCOMPARE(desktop_.opened.size(), 2);
        QCOMPARE(listing(monitor.dataFolder() / "reports"),
                 (std::set<std::string>{"CV-Report-ALL.html"}));
    }

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
        QCOMPARE(desktop_.questions[0].title, "Uninstall Corvane Monitor?");
        QCOMPARE(desktop_.questions[0].buttons,
                 (QStringList{"Uninstall", QString::fromUtf8("Export First\u2026"), "Cancel"}));
        QCOMPARE(desktop_.questions[0].icon, QMessageBox::Critical);
        QVERIFY(desktop_.savePrompts.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(monitor.lastError(),
                                  "No log to export yet — press Start Monitoring first.", kWait);
        QVERIFY(view.findChild<QLabel*>("errorLine")->isVisible());
        QVERIFY(fs::exists(folder));

        monitor.startMonitoring();
        QTRY_VERIFY_WITH_TIMEOUT(fs::exists(DataFolder(folder).evidenceLog()), kWait);
        waitForToken(monitor, 2);

        // Cancelling the save dialog writes nothing; a chosen path gets the archive.
        view.exportEvidence();
        QCOMPARE(desktop_.savePrompts.size(), 2);
        QCOMPARE(desktop_.savePrompts[0], "Export CV evidence");
        QVERIFY(QFileInfo(desktop_.savePrompts[1]).fileName().startsWith("CV_evidence_"));
        desktop_.savePath = temp_->filePath("out/evidence.zip");
        view.exportEvidence();
        QTRY_COMPARE_WITH_TIMEOUT(monitor.lastError(), "Export failed — No such file or directory.",
                                  kWait); // no such folder
        QDir().mkpath(temp_->filePath("out"));
        view.exportEvidence();
        QVERIFY(QFileInfo::exists(desktop_.savePath));

        // Cancel changes nothing.
        desktop_.answers = {2};
        view.uninstall();
        QVERIFY(monitor.isRunning() && monitor.timerActive() && fs::exists(folder));

        // Uninstall: everything gone by the final notice, and nothing comes back.
        QSettings().setValue("cv_onboarded", true);
        monitor.runSift(true); // a pass queued just before
        bool goneAtNotice = false;
        desktop_.onQuestion = [&](const Dialogs::Question& q) {
            if (q.title == "Corvane Monitor removed") {
                goneAtNotice = !fs::exists(folder) && !QSettings().contains("cv_onboarded");
            }
        };
        desktop_.answers = {0, 1};
        view.uninstall();
        QVERIFY(goneAtNotice);
        QCOMPARE(desktop_.questions.last().buttons, (QStringList{"Quit CV", "Later"}));
        QTRY_VERIFY_WITH_TIMEOUT(!monitor.isRunning(), kWait);
        QVERIFY(!monitor.timerActive());
        QTest::qWait(500);
        QVERIFY(!fs::exists(folder));
        QVERIFY(!monitor.onboarded());
        snap(&view, "after-uninstall");
    }

    // One monitor for the process: reopening the window keeps the one capture; a second
    // launch hands over to the first; quitting leaves the stop marker last.
    void shellAndSingleInstance() {
        QSettings().setValue("cv_onboarded", true);
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

        QCOMPARE(Shell::trayToolTip("CLEAN"), "Corvane Monitor — CLEAN");
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
        const fs::path log = temp_->filePath("data/CV/CV_personal.log").toStdString();

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
        QVERIFY(lastLine(log).ends_with(Capture::stopMarker));
    }
};

int main(int argc, char** argv) {
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QTemporaryDir home;
    // Settings and the instance socket of the tests stay in a folder of their own.
    qputenv("XDG_CONFIG_HOME", home.filePath("config").toUtf8());
    qputenv("XDG_RUNTIME_DIR", home.filePath("run").toUtf8());
    QDir().mkpath(home.filePath("run"));
    QFile::setPermissions(home.filePath("run"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCoreApplication::setOrganizationName("CorvaneTest");
    QCoreApplication::setApplicationName("app_tests");
    QApplication app(argc, argv);
    Style::apply(app);
    AppTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "AppTest.moc"
