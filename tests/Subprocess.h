#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace corvane::test {

/// A program run by a test, with its standard output and error on one pipe and extra
/// environment variables ("NAME=value") added to the test's own. Killed and reaped when
/// the test drops it.
class Subprocess {
  public:
    Subprocess(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
        int fds[2];
        if (::pipe(fds) != 0) {
            return;
        }
        ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
        ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
        std::vector<std::string> envStrings;
        for (char** e = environ; *e; ++e) {
            envStrings.emplace_back(*e);
        }
        envStrings.insert(envStrings.end(), env.begin(), env.end());
        std::vector<char*> args = pointers(argv);
        std::vector<char*> envp = pointers(envStrings);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        if (::posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, args.data(), envp.data()) !=
            0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = fds[0];
    }

    ~Subprocess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            wait();
        }
        if (out_ >= 0) {
            ::close(out_);
        }
    }

    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void signal(int sig) const { ::kill(pid_, sig); }

    /// Output up to and without the next line feed; nothing at the end of the output or
    /// when no line is complete within `timeout`.
    std::optional<std::string>
    readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (const auto lf = pending_.find('\n'); lf != std::string::npos) {
                std::string line = pending_.substr(0, lf);
                pending_.erase(0, lf + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !fill(static_cast<int>(left.count()))) {
                return std::nullopt;
            }
        }
    }

    /// All output until the program closes it.
    std::string readAll() {
        while (fill(-1)) {
        }
        return std::exchange(pending_, {});
    }

    /// The exit status, or 128 + the signal that ended it.
    int wait() {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    /// Closes the reading end of the program's output, as a reader that goes away does.
    void closeOutput() {
        if (out_ >= 0) {
            ::close(std::exchange(out_, -1));
        }
    }

    struct Ended {
        int status = -1;    ///< as `wait` gives it
        long peakRssKb = 0; ///< the program's peak resident memory
    };

    /// Waits at most `timeout` for the program to end, reading (and dropping) its output
    /// meanwhile; nothing when it is still running (the destructor then kills it).
    std::optional<Ended> waitWithin(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        // The program's own high-water mark, read while it runs: the one the system reports
        // at its end also counts the memory of this process at the moment it was started.
        long peak = 0;
        for (;;) {
            peak = std::max(peak, highWaterKb());
            int status = 0;
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return Ended{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                             peak};
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return std::nullopt;
            }
            if (out_ < 0 || !fill(20)) { // the output is closed: poll would not wait
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            pending_.clear();
        }
    }

  private:
    /// VmHWM of the running program, 0 once it has gone.
    long highWaterKb() const {
        std::FILE* status = std::fopen(("/proc/" + std::to_string(pid_) + "/status").c_str(), "r");
        long kb = 0;
        for (char line[256]; status != nullptr && std::fgets(line, sizeof line, status);) {
            if (std::sscanf(line, "VmHWM: %ld kB", &kb) == 1) {
                break;
            }
        }
        if (status != nullptr) {
            std::fclose(status);
        }
        return kb;
    }

    static std::vector<char*> pointers(const std::vector<std::string>& strings) {
        std::vector<char*> out;
        for (const auto& s : strings) {
            out.push_back(const_cast<char*>(s.c_str()));
        }
        out.push_back(nullptr);
        return out;
    }

    bool fill(int timeoutMs) {
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) {
            return false;
        }
        char buf[65536];
        const ssize_t n = ::read(out_, buf, sizeof buf);
        if (n <= 0) {
            return false;
        }
        pending_.append(buf, static_cast<size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string pending_;
};

} // namespace corvane::test
