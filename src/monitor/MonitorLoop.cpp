#include "monitor/MonitorLoop.h"

#include <algorithm>
#include <pthread.h>
#include <signal.h>

namespace corvane::monitor {

void MonitorLoop::post(Task task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void MonitorLoop::every(std::chrono::milliseconds interval, Task tick) {
    timers_.push_back({Clock::now() + interval, interval, std::move(tick)});
}

void MonitorLoop::quit(int exitCode) {
    post([this, exitCode] { exitCode_ = exitCode; });
}

int MonitorLoop::run() {
    exitCode_.reset();
    std::deque<Task> batch;
    while (!exitCode_) {
        {
            std::unique_lock lock(mutex_);
            const auto due = nextDue();
            const auto ready = [this] { return !tasks_.empty(); };
            if (due) {
                wake_.wait_until(lock, *due, ready);
            } else {
                wake_.wait(lock, ready);
            }
            batch.swap(tasks_);
        }
        // Taking the whole queue at once keeps the lock out of the way of busy posters.
        for (; !batch.empty() && !exitCode_; batch.pop_front()) {
            batch.front()();
        }
        if (!batch.empty()) {
            std::lock_guard lock(mutex_);
            tasks_.insert(tasks_.begin(), std::make_move_iterator(batch.begin()),
                          std::make_move_iterator(batch.end()));
            batch.clear();
        }
        if (!exitCode_) {
            fireDueTimers();
        }
    }
    return *exitCode_;
}

std::optional<MonitorLoop::Clock::time_point> MonitorLoop::nextDue() const {
    if (timers_.empty()) {
        return std::nullopt;
    }
    return std::min_element(timers_.begin(), timers_.end(),
                            [](const Timer& a, const Timer& b) { return a.due < b.due; })
        ->due;
}

void MonitorLoop::fireDueTimers() {
    const auto now = Clock::now();
    // By index: a tick may add timers.
    for (size_t i = 0; i < timers_.size(); ++i) {
        if (timers_[i].due <= now) {
            // The next tick keeps the rhythm; after a stall it comes one interval from now.
            timers_[i].due += timers_[i].interval;
            if (timers_[i].due <= now) {
                timers_[i].due = now + timers_[i].interval;
            }
            Task tick = timers_[i].tick;
            tick();
        }
    }
}

namespace {

sigset_t watchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

SignalWatcher::SignalWatcher(std::function<void(int)> onSignal) {
    const sigset_t set = watchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    thread_ = std::thread([this, set, onSignal = std::move(onSignal)] {
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) {
                continue;
            }
            if (closing_) {
                return;
            }
            onSignal(sig);
        }
    });
}

SignalWatcher::~SignalWatcher() {
    closing_ = true;
    pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
    // The signals stay blocked: unblocking would let one that arrived meanwhile end the
    // process by its default action instead of the orderly exit under way.
}

} // namespace corvane::monitor
