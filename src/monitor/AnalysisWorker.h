#pragma once

#include "sift/Sift.h"

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

namespace corvane::monitor {

/// One thread that runs analysis work items (baseline refresh, then one pass) one after
/// another, so two never overlap and nothing else rewrites the analysis files meanwhile.
class AnalysisWorker {
  public:
    /// Called on the worker thread after each work item.
    using Report = std::function<void(const Sift::PassResult&)>;

    AnalysisWorker(std::filesystem::path dataFolder, Report report);
    /// Lets a running work item finish and drops the waiting ones.
    ~AnalysisWorker();
    AnalysisWorker(const AnalysisWorker&) = delete;
    AnalysisWorker& operator=(const AnalysisWorker&) = delete;

    /// Queues a work item unless one is already waiting: a waiting item reads everything
    /// the log holds when it starts, so a second one would find nothing more.
    void request();

    /// Queues a work item even when one is waiting, and runs `then` on the worker thread
    /// after its report (the last analysis after the capture stopped).
    void requestThen(std::function<void()> then);

    /// Queues `job` to run on the worker in place of an analysis, so it never overlaps a pass
    /// (whatever rewrites the analysis files from outside a pass goes through here).
    void runExclusive(std::function<void()> job);

    /// Drops the waiting items and returns once the running one, if any, has finished.
    void drain();

  private:
    struct Item {
        bool coalescing = true;
        bool analyse = true;
        std::function<void()> then;
    };
    void run();

    const std::filesystem::path dataFolder_;
    const Report report_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Item> items_;
    std::condition_variable idle_;
    bool busy_ = false;
    bool closing_ = false;
    std::thread thread_; // last: starts once everything above exists
};

} // namespace corvane::monitor
