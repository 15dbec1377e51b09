#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

namespace corvane::cli {

/// A progress bar on stderr for long reads: bytes done of the total and the rate.
/// Shown only when stderr is a terminal and the total is large enough to be worth it;
/// otherwise every call is a no-op.
class Progress {
  public:
    Progress(const char* label, uint64_t totalBytes, uint64_t minimumBytes = 8u << 20);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    /// Reports the bytes done so far; redraws at most ten times a second.
    void update(uint64_t doneBytes);

  private:
    void draw(uint64_t doneBytes);

    const char* label_;
    uint64_t total_;
    bool enabled_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

} // namespace corvane::cli
