#include "cli/Progress.h"

#include <unistd.h>

namespace corvane::cli {

using Clock = std::chrono::steady_clock;

Progress::Progress(const char* label, uint64_t totalBytes, uint64_t minimumBytes)
    : label_(label), total_(totalBytes),
      enabled_(isatty(STDERR_FILENO) == 1 && totalBytes >= minimumBytes), start_(Clock::now()),
      lastDraw_(start_) {}

Progress::~Progress() {
    if (enabled_) {
        draw(total_);
        std::fputc('\n', stderr);
    }
}

void Progress::update(uint64_t doneBytes) {
    if (!enabled_) {
        return;
    }
    const auto now = Clock::now();
    if (now - lastDraw_ < std::chrono::milliseconds(100)) {
        return;
    }
    lastDraw_ = now;
    draw(doneBytes);
}

void Progress::draw(uint64_t doneBytes) {
    constexpr int kWidth = 30;
    const double fraction =
        total_ ? static_cast<double>(doneBytes) / static_cast<double>(total_) : 1;
    const int filled = static_cast<int>(fraction * kWidth);
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    const double mbPerSecond = seconds > 0 ? static_cast<double>(doneBytes) / 1e6 / seconds : 0;
    std::fprintf(stderr, "\r%s [%.*s%*s] %5.1f%%  %.0f/%.0f MB  %.0f MB/s", label_, filled,
                 "##############################", kWidth - filled, "", fraction * 100,
                 static_cast<double>(doneBytes) / 1e6, static_cast<double>(total_) / 1e6,
                 mbPerSecond);
    std::fflush(stderr);
}

} // namespace corvane::cli
