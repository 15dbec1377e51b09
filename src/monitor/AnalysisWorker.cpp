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
        items_.push_back({true, {}});
    }
    wake_.notify_one();
}

void AnalysisWorker::requestThen(std::function<void()> then) {
    {
        std::lock_guard lock(mutex_);
        items_.push_back({false, std::move(then)});
    }
    wake_.notify_one();
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
        }
        const auto result = Sift::runAnalysis(dataFolder_, util::nowEpoch());
        if (report_) {
            report_(result);
        }
        if (item.then) {
            item.then();
        }
    }
}

} // namespace corvane::monitor
