#include "logstandin/Replay.h"

#include <cstdlib>
#include <sys/types.h>
#include <thread>

namespace corvane::logstandin {

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
    char* raw = nullptr;
    size_t capacity = 0;
    ssize_t length;
    bool ok = true;
    while (ok && (length = ::getline(&raw, &capacity, source)) >= 0) {
        std::string_view line(raw, static_cast<size_t>(length));
        if (!line.empty() && line.back() == '\n') {
            line.remove_suffix(1);
        }
        ok = replayLine(line);
    }
    std::free(raw);
    return ok && flush();
}

bool Replay::replayLine(std::string_view line) {
    const SyslogLine parsed = parseSyslogLine(line);
    if (speed_ > 0) {
        pace(parsed);
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
/// line that goes back in time is not delayed.
void Replay::pace(const SyslogLine& parsed) {
    if (!parsed.eventTime) {
        return;
    }
    if (lastEventTime_ && *parsed.eventTime > *lastEventTime_) {
        const std::chrono::duration<double> gap((*parsed.eventTime - *lastEventTime_) * speed_);
        deadline_ += std::chrono::duration_cast<std::chrono::steady_clock::duration>(gap);
        std::this_thread::sleep_until(deadline_);
    } else if (!lastEventTime_) {
        deadline_ = std::chrono::steady_clock::now();
    }
    lastEventTime_ = parsed.eventTime;
}

} // namespace corvane::logstandin
