#include "capture/Capture.h"
#include "cli/Commands.h"
#include "cli/MonitorLoop.h"
#include "platform/Platform.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace corvane::cli {
namespace {

using namespace std::chrono_literals;

/// Headless monitoring: the capture runs until SIGINT or SIGTERM, with a status line each
/// second. Everything here runs on the loop's thread.
class Monitor {
  public:
    explicit Monitor(const std::filesystem::path& dataFolder)
        : signals_([this](int) { loop_.post([this] { finish(); }); }),
          capture_(dataFolder, loop_.poster()) {}

    int run() {
        capture_.start();
        // Runs after the outcome of start, which start posts before this.
        loop_.post([this] { started(); });
        return loop_.run();
    }

  private:
    void started() {
        if (!capture_.isRunning() && capture_.lastError()) {
            std::fprintf(stderr, "corvane monitor: %s\n", capture_.lastError()->c_str());
            loop_.quit(1);
            return;
        }
        printStatus();
        loop_.every(1s, [this] { printStatus(); });
    }

    void finish() {
        if (finishing_) {
            return;
        }
        finishing_ = true;
        capture_.stop();
        // After the changes stop has posted.
        loop_.post([this] {
            printStatus();
            loop_.quit(0);
        });
    }

    void printStatus() {
        std::printf("%s, %lld lines written%s%s\n",
                    capture_.isRunning() ? "capturing" : "not capturing",
                    static_cast<long long>(capture_.lineCount()),
                    capture_.lastError() ? ", last error: " : "",
                    capture_.lastError() ? capture_.lastError()->c_str() : "");
        std::fflush(stdout);
    }

    MonitorLoop loop_;
    SignalWatcher signals_; // before the capture, so its threads inherit the blocked signals
    Capture capture_;
    bool finishing_ = false;
};

} // namespace

void addMonitorCommand(CLI::App& app) {
    auto* cmd = app.add_subcommand("monitor", "Capture the system log into the evidence log");
    auto folder = std::make_shared<std::string>();
    cmd->add_option("--data", *folder, "Data folder (default: the platform's)");
    cmd->callback([folder] {
        Monitor monitor(folder->empty() ? platform::dataFolder() : std::filesystem::path(*folder));
        if (const int code = monitor.run(); code != 0) {
            throw CLI::RuntimeError(code);
        }
    });
}

} // namespace corvane::cli
