#include "capture/Capture.h"
#include "cli/Commands.h"
#include "cli/SharedOptions.h"
#include "monitor/AnalysisWorker.h"
#include "monitor/MonitorLoop.h"
#include "sift/Analysis.h"
#include "sift/Dashboard.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace corvane::cli {
namespace {

using namespace std::chrono_literals;

/// Between two analyses of the evidence log while monitoring.
constexpr auto kAnalysisInterval = 45s;

/// Headless monitoring: the capture runs until SIGINT or SIGTERM, with a status line each
/// second, and the log is analysed at the start, every 45 seconds and once after the stop,
/// on one worker thread. Everything else here runs on the loop's thread.
class Monitor {
  public:
    explicit Monitor(const std::filesystem::path& dataFolder)
        : signals_([this](int) { loop_.post([this] { finish(); }); }),
          capture_(dataFolder, loop_.poster()),
          analysis_(dataFolder, [this, dataFolder](const Sift::PassResult& result) {
              auto verdict = Sift::readVerdict(dataFolder);
              loop_.post([result, verdict] { printAnalysis(result, verdict); });
          }) {}

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
        analysis_.request();
        loop_.every(kAnalysisInterval, [this] { analysis_.request(); });
    }

    void finish() {
        if (finishing_) {
            return;
        }
        finishing_ = true;
        capture_.stop();
        // After the changes stop has posted; the last analysis sees the stop marker.
        loop_.post([this] {
            printStatus();
            analysis_.requestThen([this] { loop_.quit(0); });
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

    static void printAnalysis(const Sift::PassResult& result,
                              const std::optional<std::string>& verdict) {
        std::printf("analysis: %s, %llu lines; verdict: %s\n", Sift::outcomeText(result.outcome),
                    static_cast<unsigned long long>(result.linesIngested),
                    verdict.value_or("—").c_str());
        std::fflush(stdout);
    }

    monitor::MonitorLoop loop_;
    // Before the capture, so its threads inherit the blocked signals.
    monitor::SignalWatcher signals_;
    Capture capture_;
    monitor::AnalysisWorker analysis_; // destroyed first: its reports post to the loop
    bool finishing_ = false;
};

} // namespace

void addMonitorCommand(CLI::App& app) {
    auto* cmd = app.add_subcommand("monitor", "Capture the system log into the evidence log");
    auto folder = std::make_shared<std::string>();
    addDataOption(cmd, *folder);
    cmd->callback([folder] {
        Monitor monitor(dataFolderOf(*folder));
        if (const int code = monitor.run(); code != 0) {
            throw CLI::RuntimeError(code);
        }
    });
}

} // namespace corvane::cli
