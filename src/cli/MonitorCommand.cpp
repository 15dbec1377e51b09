#include "capture/Capture.h"
#include "cli/Commands.h"
#include "cli/SharedOptions.h"
#include "monitor/AnalysisWorker.h"
#include "monitor/MonitorLoop.h"
#include "sift/Analysis.h"
#include "sift/Dashboard.h"
#include "util/LocalTime.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>

namespace corvane::cli {
namespace {

using namespace std::chrono_literals;

/// Between two analyses of the evidence log while monitoring.
constexpr auto kAnalysisInterval = 45s;

/// Headless monitoring: the capture runs until SIGINT or SIGTERM, and the log is analysed at
/// the start, every 45 seconds and once after the stop, on one worker thread. On a terminal
/// one status line is redrawn in place each second; otherwise a line is printed when the
/// capture starts, stops or fails and after each analysis. Everything else here runs on the
/// loop's thread.
class Monitor {
  public:
    explicit Monitor(const std::filesystem::path& dataFolder)
        : signals_([this](int) { loop_.post([this] { finish(); }); }),
          capture_(dataFolder, loop_.poster()),
          analysis_(dataFolder,
                    [this, dataFolder](const Sift::PassResult& result) {
                        auto verdict = Sift::readVerdict(dataFolder);
                        const double at = util::nowEpoch();
                        loop_.post([this, result, verdict, at] { analysed(result, verdict, at); });
                    }),
          terminal_(::isatty(STDOUT_FILENO) == 1) {}

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
        capture_.setChangeCallback([this](Capture::Property property) {
            if (!terminal_ && property != Capture::Property::lineCount) {
                printStatus();
            }
        });
        if (terminal_) {
            loop_.every(1s, [this] { printStatus(); });
        }
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
            if (!terminal_) {
                printStatus();
            }
            analysis_.requestThen([this] {
                loop_.post([this] {
                    if (terminal_) {
                        printStatus();
                        std::fputc('\n', stdout);
                    }
                    // Lines that never reached the log make the run a failure.
                    loop_.quit(capture_.lastError() ? 1 : 0);
                });
            });
        });
    }

    void analysed(const Sift::PassResult& result, const std::optional<std::string>& verdict,
                  double at) {
        verdict_ = verdict.value_or("—");
        lastPass_ = util::formatLocal(static_cast<int64_t>(at), "%H:%M:%S");
        analysisError_ =
            result.failure ? result.failure->what + ": " + result.failure->why : std::string();
        if (!terminal_) {
            std::printf("analysis: %s, %llu lines; verdict: %s%s%s\n",
                        Sift::outcomeText(result.outcome),
                        static_cast<unsigned long long>(result.linesIngested), verdict_.c_str(),
                        analysisError_.empty() ? "" : "; ", analysisError_.c_str());
            std::fflush(stdout);
        }
    }

    /// "capturing, 12 lines written, verdict CLEAN at 10:15:02, last error: …"
    void printStatus() {
        std::string line = capture_.isRunning() ? "capturing" : "not capturing";
        line += ", " + std::to_string(capture_.lineCount()) + " lines written";
        if (!lastPass_.empty()) {
            line += ", verdict " + verdict_ + " at " + lastPass_;
        }
        if (capture_.lastError()) {
            line += ", last error: " + *capture_.lastError();
        }
        if (!analysisError_.empty()) {
            line += ", analysis: " + analysisError_;
        }
        if (terminal_) {
            // Back to the start of the line and clear it: the status stays on one line.
            std::printf("\r\033[K%s", line.c_str());
        } else {
            std::printf("%s\n", line.c_str());
        }
        std::fflush(stdout);
    }

    monitor::MonitorLoop loop_;
    // Before the capture, so its threads inherit the blocked signals.
    monitor::SignalWatcher signals_;
    Capture capture_;
    monitor::AnalysisWorker analysis_; // destroyed first: its reports post to the loop
    const bool terminal_;
    bool finishing_ = false;
    std::string verdict_ = "—";
    std::string lastPass_;      // local time of the last analysis
    std::string analysisError_; // why the last analysis failed
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
