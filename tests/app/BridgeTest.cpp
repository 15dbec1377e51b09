// The dashboard in the real web view: the bridge the page posts through, the folder guard
// and the link policy.

#include "AppTestBase.h"
#include "app/DashboardBridge.h"
#include "app/DashboardInterceptor.h"
#include "app/WebRadarView.h"

#include <QSignalSpy>
#include <QWebEnginePage>
#include <fstream>

namespace corvane::app::test {

class BridgeTest : public AppTestBase {
    Q_OBJECT
  private slots:
    // The bridge in the real web view: the shim, the allow-list, link policy, the reload
    // token and what the page may read.
    void bridgeInTheWebView() {
        const fs::path folder = places().dataFolder;
        fs::create_directories(DataFolder(folder).sift());
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
        QSignalSpy reports(&web.bridge(), &DashboardBridge::reportRequested);
        QSignalSpy uninstalls(&web.bridge(), &DashboardBridge::uninstallRequested);
        QSignalSpy trusts(&web.bridge(), &DashboardBridge::trustRequested);

        QSignalSpy loaded(web.page(), &QWebEnginePage::loadFinished);
        web.setReloadToken(3);
        QTRY_COMPARE_WITH_TIMEOUT(loaded.count(), 1, 30000);
        // Posted before the channel was ready, delivered once it is.
        QTRY_COMPARE_WITH_TIMEOUT(reports.size(), 1, 10000);
        QCOMPARE(reports[0][0].toString(), "early");

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
            h.cv.postMessage({action: "trust"});
            h.cv.postMessage({action: "trust", tail: ["3D7D6D542C11"]});
            h.cv.postMessage({action: "trust", tail: "3D7D6D542C11"});
            h.cv.postMessage({action: "uninstall"});
            typeof h.other + "," + typeof window.QWebChannel;
        )");
        QTRY_COMPARE_WITH_TIMEOUT(uninstalls.size(), 1, kWait);
        QCOMPARE(reports.size(), 5);
        QCOMPARE(reports[1][0].toString(), "2026-10-18");
        QCOMPARE(reports[2][0].toString(), QString()); // no day: the last one
        QCOMPARE(reports[3][0].toString(), QString());
        QCOMPARE(reports[4][0].toString(), "../x"); // refused later, by the report itself
        QCOMPARE(trusts.size(), 1);
        QCOMPARE(trusts[0][0].toString(), "3D7D6D542C11");
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

    // The guard resolves the folder on each request: one that did not exist when the view
    // was built, and one reached through a symbolic link, both serve their pages.
    void guardResolvesTheFolderAsItIs() {
        const fs::path real = temp_->path().toStdString() + "/real";
        const fs::path linked = temp_->path().toStdString() + "/CV";
        const DashboardInterceptor guard(linked, nullptr);
        const auto page = [&](const fs::path& folder) {
            return QUrl::fromLocalFile(
                QString::fromStdString(DataFolder(folder).radarPage().string()));
        };
        fs::create_directories(real);
        std::ofstream(DataFolder(real).radarPage()) << "page";
        fs::create_directory_symlink(real, linked);
        QVERIFY(guard.allows(page(linked)));
        QVERIFY(guard.allows(page(real))); // the same file, reached directly
        QVERIFY(!guard.allows(page(temp_->path().toStdString())));
    }
};

const Register<BridgeTest> registered;

} // namespace corvane::app::test

#include "BridgeTest.moc"
