#pragma once

#include "TempDir.h"
#include "TestConfig.h"
#include "capture/Capture.h"
#include "capture/DataFolder.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace corvane::test {

/// The test's "main thread": posted tasks wait here until the test runs them.
class MainQueue {
  public:
    void post(std::function<void()> task) {
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        cv_.notify_one();
    }

    Capture::PostToMain poster() {
        return [this](std::function<void()> task) { post(std::move(task)); };
    }

    /// Runs the tasks queued so far.
    void drain() {
        std::deque<std::function<void()>> batch;
        {
            std::lock_guard lock(mutex_);
            batch.swap(tasks_);
        }
        for (auto& task : batch) {
            task();
        }
    }

    /// Runs tasks as they come until `done` holds; false after `timeout`.
    bool runUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            drain();
            if (done()) {
                return true;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::unique_lock lock(mutex_);
            cv_.wait_for(lock, std::chrono::milliseconds(10), [this] { return !tasks_.empty(); });
        }
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
};

/// A temporary data folder, a main queue and fake log tools written as shell scripts.
class CaptureTest : public ::testing::Test {
  protected:
    std::filesystem::path dataFolder() const { return dir_ / "CV"; }
    std::filesystem::path logPath() const { return DataFolder(dataFolder()).evidenceLog(); }

    /// A log tool that runs `body` with /bin/sh in the temporary folder.
    std::filesystem::path fakeTool(std::string_view body, std::string_view name = "log.sh") {
        const auto path = dir_ / name;
        writeText(path,
                  "#!/bin/sh\ncd '" + dir_.path().string() + "'\n" + std::string(body) + "\n");
        ::chmod(path.c_str(), 0755);
        return path;
    }

    std::unique_ptr<Capture> makeCapture(const std::filesystem::path& tool) {
        return std::make_unique<Capture>(dataFolder(), main_.poster(), tool);
    }

    /// The payloads of the evidence log (or of `file`); fails the test on a line not shaped
    /// "yyyy-MM-dd HH:mm:ss | payload".
    std::vector<std::string> payloads(const std::filesystem::path& file = {}) const {
        static const std::regex stamp(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} \| )");
        std::vector<std::string> out;
        const std::string text = readText(file.empty() ? logPath() : file);
        size_t begin = 0;
        for (size_t lf; (lf = text.find('\n', begin)) != std::string::npos; begin = lf + 1) {
            const std::string line = text.substr(begin, lf - begin);
            if (line.size() < 22 || !std::regex_match(line.substr(0, 22), stamp)) {
                ADD_FAILURE() << "malformed evidence line: " << line;
                continue;
            }
            out.push_back(line.substr(22));
        }
        EXPECT_EQ(begin, text.size()) << "the log ends inside a line";
        return out;
    }

    /// Waits (running main tasks meanwhile) until the log holds `count` lines.
    bool waitForLines(size_t count) {
        return main_.runUntil([&] {
            const std::string text = readText(logPath());
            return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) >= count;
        });
    }

    TempDir dir_;
    MainQueue main_;
};

} // namespace corvane::test
