#include "logstandin/Replay.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/types.h>
#include <unistd.h>
#include <utility>

namespace corvane::logstandin {

bool outputClosedWithin(std::chrono::milliseconds timeout) {
    // No events asked for: only an error or a hang-up (the reader closed the pipe) ends
    // the wait.
    pollfd out{STDOUT_FILENO, 0, 0};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int wait = -1;
        if (timeout.count() >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            wait = static_cast<int>(std::max<int64_t>(left.count(), 0));
        }
        const int n = ::poll(&out, 1, wait);
        if (n > 0) {
            return true;
        }
        if (n == 0 || (n < 0 && errno != EINTR)) {
            return false;
        }
    }
}

bool Replay::emit(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    if (speed_ > 0) {
        std::fflush(stdout);
    }
    return !std::ferror(stdout);
}

bool Replay::flush() {
    return std::fflush(stdout) == 0;
}

bool Replay::play(std::FILE* source) {
    std::string line;
    bool overLong = false; // the bytes up to the next line feed belong to a line already cut
    char block[64 * 1024];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, source)) > 0) {
        // A source whose lines the predicate drops writes nothing that would fail.
        if (outputClosedWithin(std::chrono::milliseconds(0))) {
            return false;
        }
        std::string_view rest(block, n);
        while (!rest.empty()) {
            const size_t lf = rest.find('\n');
            if (!overLong) {
                line.append(rest.substr(0, std::min(lf, kMaxLineBytes - line.size())));
            }
            if (lf == std::string_view::npos) {
                if (!overLong && line.size() == kMaxLineBytes) {
                    overLong = true;
                    if (!replayLine(line)) {
                        return false;
                    }
                }
                break;
            }
            rest.remove_prefix(lf + 1);
            if (!std::exchange(overLong, false) && !replayLine(line)) {
                return false;
            }
            line.clear();
        }
    }
    if (!overLong && !line.empty() && !replayLine(line)) {
        return false;
    }
    return flush();
}

bool Replay::replayLine(std::string_view line) {
    const SyslogLine parsed = parseSyslogLine(line);
    if (speed_ > 0 && !pace(parsed)) {
        return false;
    }
    if (!predicate_.matches({parsed.process, parsed.eventMessage})) {
        return true;
    }
    if (parsed.stampLength == 0) {
        return emit(line);
    }
    scratch_.assign(restamper_.now(parsed.stampLength));
    scratch_.append(line.substr(parsed.stampLength));
    return emit(scratch_);
}

/// Waits out the gap since the previous timed line, scaled by the speed. The deadline
/// advances by the gaps alone, so time spent writing does not stretch the replay; a
/// line that goes back in time is not delayed. False when standard output went meanwhile.
bool Replay::pace(const SyslogLine& parsed) {
    if (!parsed.eventTime) {
        return true;
    }
    bool open = true;
    if (lastEventTime_ && *parsed.eventTime > *lastEventTime_) {
        // A capture may span years: one gap waits a day at most.
        const std::chrono::duration<double> gap(
            std::min((*parsed.eventTime - *lastEventTime_) * speed_, kMaxGapSeconds));
        deadline_ += std::chrono::duration_cast<std::chrono::steady_clock::duration>(gap);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline_ - std::chrono::steady_clock::now());
        open = left.count() <= 0 || !outputClosedWithin(left);
    } else if (!lastEventTime_) {
        deadline_ = std::chrono::steady_clock::now();
    }
    lastEventTime_ = parsed.eventTime;
    return open;
}

} // namespace corvane::logstandin
