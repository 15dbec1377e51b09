#include "AppTestBase.h"

#include "app/Style.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <algorithm>
#include <fstream>
#include <sstream>

namespace corvane::app::test {

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

QPushButton* button(QWidget* parent, const QString& text) {
    for (auto* b : parent->findChildren<QPushButton*>()) {
        if (b->text() == text) {
            return b;
        }
    }
    return nullptr;
}

void FakeDesktop::install() {
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

qint64 longestStallMs(const std::function<bool()>& until, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0;
    qint64 longest = 0;
    QTimer beat;
    beat.setInterval(5);
    QObject::connect(&beat, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longest = std::max(longest, now - last);
        last = now;
    });
    beat.start();
    while (!until() && clock.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return std::max(longest, clock.elapsed() - last);
}

MonitorPlaces AppTestBase::places() const {
    const fs::path root = temp_->path().toStdString();
    return {root / "CV", root / "vault", CORVANE_RESOURCES_DIR,
            fs::path(CORVANE_BIN_DIR) / "corvane-log"};
}

void AppTestBase::waitForToken(Monitor& monitor, qint64 token) {
    QTRY_COMPARE_WITH_TIMEOUT(monitor.reloadToken(), token, 20000);
}

void AppTestBase::init() {
    temp_ = std::make_unique<QTemporaryDir>();
    QSettings().clear();
    qunsetenv("CORVANE_LOG_DENY");
    desktop_ = FakeDesktop{};
    desktop_.install();
}

void AppTestBase::cleanup() {
    QSettings().clear();
    Dialogs::setHooks({});
}

std::vector<std::function<std::unique_ptr<QObject>()>>& registeredTests() {
    static std::vector<std::function<std::unique_ptr<QObject>()>> tests;
    return tests;
}

} // namespace corvane::app::test

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
    corvane::app::Style::apply(app);
    // Test functions named on the command line run in the objects that have them.
    QStringList named;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '-') {
            named << QString::fromLocal8Bit(argv[i]).section(':', 0, 0);
        }
    }
    int failures = 0;
    for (const auto& make : corvane::app::test::registeredTests()) {
        const auto test = make();
        const QMetaObject* meta = test->metaObject();
        if (!named.isEmpty() && std::none_of(named.begin(), named.end(), [&](const QString& f) {
                return meta->indexOfMethod(qPrintable(f + "()")) >= 0;
            })) {
            continue;
        }
        failures += QTest::qExec(test.get(), argc, argv);
    }
    return failures == 0 ? 0 : 1;
}
