#pragma once

// The fixture every feature's test of the desktop application shares: a temporary home for
// the data and vault folders, dialogs answered by the test, and the helpers the walk-throughs
// use. All the feature tests run in one process (main.cpp), since each start of the web engine
// costs seconds.

#include "TestConfig.h"
#include "app/Dialogs.h"
#include "app/Monitor.h"
#include "capture/DataFolder.h"

#include <QLabel>
#include <QList>
#include <QObject>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

namespace corvane::app::test {

namespace fs = std::filesystem;

// Generous: CI runs this beside other tests on two cores, and the web engine starts slowly.
inline constexpr int kWait = 15000;

std::string readFile(const fs::path& path);
std::string lastLine(const fs::path& path);
std::set<std::string> listing(const fs::path& folder);
/// The log streams (corvane-log stream) whose parent is `parent`.
int logToolChildren(pid_t parent);
/// Saves a picture of `widget` when CORVANE_SCREENSHOTS names a folder (make screenshots).
void snap(QWidget* widget, const QString& name);
/// The text of a status row (its label named "text").
QString textOf(QWidget* row);
/// The first button below `parent` showing `text`, or null.
QPushButton* button(QWidget* parent, const QString& text);

/// What the dialogs were asked, and the answers they give, in order.
struct FakeDesktop {
    QList<Dialogs::Question> questions;
    QList<int> answers;
    QList<QUrl> opened;
    QStringList savePrompts;
    QString savePath;
    std::function<void(const Dialogs::Question&)> onQuestion;

    void install();
};

/// The longest time the event loop went without turning while `until` was false, polled
/// from a 5 ms timer; gives up after `timeoutMs`.
qint64 longestStallMs(const std::function<bool()>& until, int timeoutMs);

/// The base of each feature's test object: a fresh temporary folder, cleared settings and
/// fake dialogs for every test function.
class AppTestBase : public QObject {
    Q_OBJECT
  protected:
    std::unique_ptr<QTemporaryDir> temp_;
    FakeDesktop desktop_;

    MonitorPlaces places() const;
    static void waitForToken(Monitor& monitor, qint64 token);

  private slots:
    void init();
    void cleanup();
};

/// Every feature's test object, in the order main() runs them.
std::vector<std::function<std::unique_ptr<QObject>()>>& registeredTests();

template <class Test> struct Register {
    Register() {
        registeredTests().push_back([] { return std::make_unique<Test>(); });
    }
};

} // namespace corvane::app::test
