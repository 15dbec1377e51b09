#include "monitor/AnalysisWorker.h"

#include "sift/Analysis.h"
#include "util/LocalTime.h"

#include <algorithm>

namespace corvane::monitor {

AnalysisWorker::AnalysisWorker(std::filesystem::path dataFolder, Report report)
    : dataFolder_(std::move(dataFolder)), report_(std::move(report)), thread_([this] { run(); }) {}

AnalysisWorker::~AnalysisWorker() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        items_.clear();
    }
    wake_.notify_one();
    thread_.join();
}

void AnalysisWorker::request() {
    {
        std::lock_guard lock(mutex_);
        if (std::any_of(items_.begin(), items_.end(),
                        [](const Item& item) { return item.coalescing; })) {
            return;
        }
        items_.push_back({true, true, {}});
    }
    wake_.notify_one();
}

void AnalysisWorker::requestThen(std::function<void()> then) {
    {
        std::lock_guard lock(mutex_);
        items_.push_back({false, true, std::move(then)});
    }
    wake_.notify_one();
}

void AnalysisWorker::runExclusive(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        items_.push_back({false, false, std::move(job)});
    }
    wake_.notify_one();
}

void AnalysisWorker::drain() {
    std::unique_lock lock(mutex_);
    items_.clear();
    idle_.wait(lock, [this] { return !busy_; });
}

void AnalysisWorker::run() {
    for (;;) {
        Item item;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return closing_ || !items_.empty(); });
            if (closing_) {
                return;
            }
            item = std::move(items_.front());
            items_.pop_front();
            busy_ = true;
        }
        if (item.analyse) {
            const auto result = Sift::runAnalysis(dataFolder_, util::nowEpoch());
            if (report_) {
                report_(result);
            }
        }
        if (item.then) {
            item.then();
        }
        {
            std::lock_guard lock(mutex_);
            busy_ = false;
        }
        idle_.notify_all();
    }
}

} // namespace corvane::monitor
