// The setup assistant: first launch, Full Disk Access, the countdown that learns the owner's
// phone, and the demo offer.

#include "AppTestBase.h"
#include "app/ContentView.h"
#include "app/OnboardingView.h"
#include "app/WebRadarView.h"
#include "util/JsonFile.h"
#include "util/LocalTime.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QSignalSpy>
#include <fstream>

namespace corvane::app::test {

class SetupTest : public AppTestBase {
    Q_OBJECT
  private slots:
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
        QVERIFY(!setup->defaultButton()->isEnabled());
        QTest::keyClick(setup, Qt::Key_Return); // Continue is disabled: nothing happens
        QCOMPARE(setup->step(), OnboardingView::Step::fda);
        // Linux has no settings pane to open: the page says what to do and shows no dead
        // button; the demo stays one click away.
        for (auto* b : setup->findChildren<QPushButton*>()) {
            QVERIFY2(b->text() != "Open Settings" || !b->isVisible(), "a button that does nothing");
        }
        QVERIFY(view.findChild<QWidget*>("fdaRow")->findChild<QPushButton*>()->isHidden());
        // Nothing behind the assistant takes focus: Tab goes round inside it.
        QVERIFY(!view.findChild<QWidget*>("statusBar")->isEnabled() && !view.web()->isEnabled());
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        for (int i = 0; i < 12; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QVERIFY(setup->isAncestorOf(QApplication::focusWidget()) ||
                    QApplication::focusWidget() == setup);
        }
        // The keyboard's place shows: a focused button looks different.
        QPushButton* focused = nullptr;
        for (int i = 0; i < 20 && !focused; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            focused = qobject_cast<QPushButton*>(QApplication::focusWidget());
        }
        QVERIFY(focused);
        const QImage ring = focused->grab().toImage();
        setup->setFocus();
        QVERIFY(focused->grab().toImage() != ring);
        snap(&view, "setup-2-full-disk-access");

        qunsetenv("CORVANE_LOG_DENY");
        button(setup, "Re-check")->click();
        QTRY_VERIFY_WITH_TIMEOUT(monitor.hasFullDiskAccess(), kWait);
        QVERIFY(!view.findChild<QWidget*>("fdaRow")->isVisible());

        // Lines of the replayed capture are stamped from "now"; start the window a little
        // earlier so the first second's lines count.
        setup->setClock([] { return QDateTime::currentSecsSinceEpoch() - 5.0; });
        setup->setTickInterval(3'600'000); // the test ticks by hand
        QTest::keyClick(setup, Qt::Key_Return);
        QCOMPARE(setup->step(), OnboardingView::Step::verify);
        QVERIFY(setup->running());
        QCOMPARE(setup->remaining(), OnboardingView::VERIFY_SECONDS);
        auto* countdown = setup->findChild<QLabel*>("countdown");
        QCOMPARE(countdown->text(), "Learning your phone: 10:00 left");
        QVERIFY(monitor.timerActive());
        QTRY_VERIFY_WITH_TIMEOUT(monitor.isRunning(), kWait);
        QVERIFY(!setup->defaultButton()); // Return does nothing while waiting
        snap(&view, "setup-3-verify-waiting");

        // Let the replay arrive, then the learning attempt at 590 finds the phone.
        QTRY_VERIFY_WITH_TIMEOUT(monitor.lineCount() > 1000, 20000);
        for (int i = 0; i < 10; ++i) {
            setup->tick();
        }
        QCOMPARE(setup->remaining(), 590);
        QCOMPARE(countdown->text(), "Learning your phone: 9:50 left");
        QTRY_VERIFY_WITH_TIMEOUT(setup->bleMac().has_value(), kWait);
        const fs::path baseline = DataFolder(monitor.dataFolder()).baselineFile();
        QTRY_VERIFY_WITH_TIMEOUT(fs::exists(baseline), kWait);
        const auto learned = QJsonDocument::fromJson(QByteArray::fromStdString(readFile(baseline)));
        QCOMPARE(learned["my_ble_mac"][0].toString(), *setup->bleMac());
        QCOMPARE(learned["my_conn_state"].toString(), "searching");
        QVERIFY(textOf(setup->findChild<QWidget*>("bleRow")).endsWith(*setup->bleMac()));
        QVERIFY(!setup->cancelButton());

        // The evaluation at 580 reports the DirectLink state.
        QSignalSpy evaluated(setup, &OnboardingView::verifyStatusChanged);
        for (int i = 0; i < 10; ++i) {
            setup->tick();
        }
        QTRY_COMPARE_WITH_TIMEOUT(evaluated.count(), 1, kWait);
        if (setup->connMac()) {
            QVERIFY(
                setup->findChild<QLabel*>("directLinkLine")->text().contains(*setup->connMac()));
        }
        snap(&view, "setup-3-verify-found");
        // The end of the countdown is said, and the lines stay those of the baseline file.
        while (setup->remaining() > 0) {
            setup->tick();
        }
        QTRY_VERIFY_WITH_TIMEOUT(countdown->text().startsWith("Learning finished: your phone"),
                                 kWait);
        QTRY_COMPARE_WITH_TIMEOUT(
            *setup->bleMac(),
            QJsonDocument::fromJson(QByteArray::fromStdString(readFile(baseline)))["my_ble_mac"][0]
                .toString(),
            kWait);
        snap(&view, "setup-3-verify-ended");

        QTest::keyClick(setup, Qt::Key_Return);
        QCOMPARE(setup->step(), OnboardingView::Step::demo);
        QVERIFY(!setup->running());
        // Start at login: offered here, off until ticked, and the entry is the setting.
        auto* atLogin = setup->findChild<QCheckBox*>("startAtLogin");
        const QString entry =
            qEnvironmentVariable("XDG_CONFIG_HOME") + "/autostart/corvane-monitor.desktop";
        QVERIFY(!atLogin->isChecked() && !QFile::exists(entry));
        atLogin->click();
        QVERIFY(QFile::exists(entry));
        QFile written(entry);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QVERIFY(written.readAll().contains(
            "\nExec=\"" + QCoreApplication::applicationFilePath().toUtf8() + "\"\n"));
        snap(&view, "setup-4-demo");
        atLogin->click();
        QVERIFY(!QFile::exists(entry));

        const qint64 before = monitor.reloadToken();
        button(setup, "Skip to live")->click();
        QVERIFY(monitor.onboarded());
        QVERIFY(QSettings().value(Monitor::kOnboardedKey).toBool());
        waitForToken(monitor, before + 1); // finish's pass
        QTRY_VERIFY_WITH_TIMEOUT(!view.onboarding(), kWait);
        QVERIFY(!monitor.demoLoaded());
        monitor.shutdown();
    }

    // The countdown on its own: a countdown that ends without a phone keeps looking, and
    // learns the phone once it comes near; the owner then confirms a device of theirs.
    void countdownWithoutPhoneThenTheOwnersDevices() {
        qputenv("CORVANE_LOG_SOURCE", "/dev/null");
        Monitor monitor(places());
        OnboardingView setup(monitor);
        setup.resize(1180, 780);
        setup.show();
        // The lines below are stamped to the second.
        setup.setClock([] { return QDateTime::currentSecsSinceEpoch() - 5.0; });
        setup.setTickInterval(3'600'000); // the test ticks by hand
        QTest::keyClick(&setup, Qt::Key_Return);
        QTest::keyClick(&setup, Qt::Key_Return); // access granted by the stand-in
        QTRY_COMPARE_WITH_TIMEOUT(setup.step(), OnboardingView::Step::verify, kWait);
        // An empty source ends the stream at once: a state of its own, not "monitoring".
        QTRY_COMPARE_WITH_TIMEOUT(monitor.watch(), Monitor::Watch::SourceEnded, kWait);
        qunsetenv("CORVANE_LOG_SOURCE");
        QSignalSpy status(&setup, &OnboardingView::verifyStatusChanged);
        while (setup.running()) {
            setup.tick();
        }
        QTRY_VERIFY_WITH_TIMEOUT(status.count() >= 1, kWait); // the final evaluation came back
        QVERIFY(setup.looking() && !setup.bleMac());
        QVERIFY(setup.countdownText().startsWith("No phone found near this Mac yet. Still looking"));
        QVERIFY(setup.cancelButton()); // Escape still skips
        snap(&setup, "setup-3-verify-still-looking");
        // The baseline is started without a phone, so the analysis waits for one.
        const fs::path baseline = DataFolder(monitor.dataFolder()).baselineFile();
        QTRY_VERIFY_WITH_TIMEOUT(fs::exists(baseline), kWait);
        QVERIFY(util::readJsonObject(baseline, 1 << 20)->value("my_ble_mac", nlohmann::json()) ==
                nlohmann::json::array());

        // A neighbour's phone through the wall is not taken; the owner's, near, is.
        const auto lines = [&](std::initializer_list<const char*> payloads) {
            std::ofstream log(DataFolder(monitor.dataFolder()).evidenceLog(), std::ios::app);
            for (const char* payload : payloads) {
                log << util::formatLocalDateTime(QDateTime::currentSecsSinceEpoch()) << " | "
                    << payload << "\n";
            }
        };
        const auto tenSeconds = [&] {
            for (int i = 0; i < 10; ++i) {
                setup.tick();
            }
        };
        lines({"bluetoothd Addr 0000000000dd RSSI -82 nbIAT <dd dd dd>",
               "bluetoothd Addr 0000000000dd RSSI -80 nbIAT <dd dd dd>"});
        tenSeconds();
        QTest::qWait(500);
        QVERIFY(setup.looking() && !setup.bleMac());
        lines({"bluetoothd Addr 001122aabbcc RSSI -50 AT <aa bb cc>",
               "bluetoothd Addr 001122aabbcc RSSI -48 AT <aa bb cc>",
               "rapportd CUBonjourDevice 66:55:44:33:22:01, TT 0x10 stID "
               "01234567-89ab-cdef-0123-AAAAAAAAAAAA, IDS 'Own01', AT <aa bb cc>"});
        tenSeconds();
        QTRY_COMPARE_WITH_TIMEOUT(setup.bleMac(), std::optional<QString>("00:11:22:AA:BB:CC"),
                                  kWait);
        QVERIFY(!setup.looking());
        QVERIFY(setup.countdownText().startsWith("Learning finished: your phone is recorded"));

        // "This is my device": a tail joins the known devices and the dashboard is re-derived;
        // what is not a tail says so and changes nothing.
        const qint64 token = monitor.reloadToken();
        monitor.trustDevice("../3D7D6D542C11");
        QTRY_VERIFY_WITH_TIMEOUT(monitor.lastError().contains("is not a device tail"), kWait);
        monitor.trustDevice("3d7d6d542c11");
        waitForToken(monitor, token + 2);
        QVERIFY(monitor.lastError().isEmpty());
        const auto known = util::readJsonObject(baseline, 1 << 20)->at("known_devices");
        QCOMPARE(known.back().value("tail", ""), std::string("3D7D6D542C11"));
        QCOMPARE(known.back().value("learned", ""), std::string("confirmed"));
        QCOMPARE(known.size(), size_t{2}); // the phone from the setup, and the confirmed device

        QTest::keyClick(&setup, Qt::Key_Return); // Continue
        QCOMPARE(setup.step(), OnboardingView::Step::demo);
        // "Load Demo" loads the demo before finishing.
        QTest::keyClick(&setup, Qt::Key_Return);
        QVERIFY(monitor.onboarded());
        QTRY_VERIFY_WITH_TIMEOUT(monitor.demoLoaded(), kWait);
        monitor.shutdown();
    }
};

const Register<SetupTest> registered;

} // namespace corvane::app::test

#include "SetupTest.moc"
