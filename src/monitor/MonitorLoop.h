#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace corvane::monitor {

/// The command-line tool's main thread: runs posted tasks in the order posted, and
/// repeating timers, on the thread that calls run(). Anything owned by "the main thread"
/// (the capture's published values, the monitor's state) is touched only from here.
class MonitorLoop {
  public:
    using Task = std::function<void()>;

    /// Queues a task; callable from any thread.
    void post(Task task);

    /// The post function handed to objects that publish from other threads.
    std::function<void(Task)> poster() {
        return [this](Task task) { post(std::move(task)); };
    }

    /// Runs `tick` every `interval`, first one interval from now. Loop thread only.
    void every(std::chrono::milliseconds interval, Task tick);

    /// Makes run() return `exitCode` once the tasks queued before this call have run.
    /// Callable from any thread.
    void quit(int exitCode);

    /// Runs tasks and timers until quit(); returns the exit code given to quit(). May be
    /// called again: tasks left behind by the quit run then.
    int run();

  private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        Clock::time_point due;
        std::chrono::milliseconds interval;
        Task tick;
    };

    std::optional<Clock::time_point> nextDue() const;
    void fireDueTimers();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    std::vector<Timer> timers_;
    std::optional<int> exitCode_; // loop thread only
};

/// Turns SIGINT and SIGTERM into calls of `onSignal` on a thread of its own (sigwait), so
/// no work happens in a signal handler. Construct it before any other thread starts: the
/// signals are blocked in the constructing thread and every thread started after it.
class SignalWatcher {
  public:
    explicit SignalWatcher(std::function<void(int)> onSignal);
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

  private:
    std::atomic<bool> closing_{false};
    std::thread thread_;
};

} // namespace corvane::monitor
