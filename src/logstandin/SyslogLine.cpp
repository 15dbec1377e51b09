#include "logstandin/SyslogLine.h"

#include "util/LocalTime.h"

#include <ctime>

namespace corvane::logstandin {
namespace {

constexpr size_t kShortStamp = 26; // yyyy-MM-dd HH:mm:ss.ffffff
constexpr size_t kLongStamp = 31;  // ... followed by +hhmm
constexpr size_t kMaxPidDigits = 10;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

/// The value of `count` digits at `pos`, or -1 when one of them is not a digit.
int64_t digits(std::string_view s, size_t pos, size_t count) {
    int64_t value = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (!isDigit(s[i])) {
            return -1;
        }
        value = value * 10 + (s[i] - '0');
    }
    return value;
}

/// Reads a leading "yyyy-MM-dd HH:mm:ss.ffffff[+-hhmm]"; sets stampLength and eventTime.
void readStamp(std::string_view line, SyslogLine& out) {
    if (line.size() < kShortStamp || line[4] != '-' || line[7] != '-' || line[10] != ' ' ||
        line[13] != ':' || line[16] != ':' || line[19] != '.') {
        return;
    }
    const int64_t y = digits(line, 0, 4), mo = digits(line, 5, 2), d = digits(line, 8, 2);
    const int64_t h = digits(line, 11, 2), mi = digits(line, 14, 2), s = digits(line, 17, 2);
    const int64_t us = digits(line, 20, 6);
    if (y < 0 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || mi < 0 || s < 0 || us < 0) {
        return;
    }
    double seconds =
        static_cast<double>(
            util::daysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 +
            h * 3600 + mi * 60 + s) +
        static_cast<double>(us) / 1e6;
    out.stampLength = kShortStamp;
    if (line.size() >= kLongStamp && (line[26] == '+' || line[26] == '-')) {
        const int64_t zone = digits(line, 27, 4);
        if (zone >= 0) {
            const int64_t offset = (zone / 100) * 3600 + (zone % 100) * 60;
            seconds -= static_cast<double>(line[26] == '+' ? offset : -offset);
            out.stampLength = kLongStamp;
        }
    }
    out.eventTime = seconds;
}

} // namespace

SyslogLine parseSyslogLine(std::string_view line) {
    SyslogLine out;
    readStamp(line, out);
    const std::string_view rest = line.substr(out.stampLength);
    // The first "]:" closing a bracket of digits ends the "name[pid]:" token.
    for (size_t close = rest.find("]:"); close != std::string_view::npos;
         close = rest.find("]:", close + 1)) {
        const size_t open = rest.rfind('[', close);
        if (open == std::string_view::npos || open + 1 == close || close - open > kMaxPidDigits ||
            digits(rest, open + 1, close - open - 1) < 0) {
            continue;
        }
        const size_t blank = rest.find_last_of(" \t", open);
        const size_t nameStart = blank == std::string_view::npos ? 0 : blank + 1;
        out.process = rest.substr(nameStart, open - nameStart);
        size_t messageStart = close + 2;
        if (messageStart < rest.size() && rest[messageStart] == ' ') {
            ++messageStart;
        }
        out.eventMessage = rest.substr(messageStart);
        return out;
    }
    const size_t text = rest.find_first_not_of(" \t");
    out.eventMessage = text == std::string_view::npos ? std::string_view{} : rest.substr(text);
    return out;
}

std::string_view Restamper::now(size_t length) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    if (ts.tv_sec != second_) {
        second_ = ts.tv_sec;
        std::tm tm{};
        localtime_r(&ts.tv_sec, &tm);
        std::strftime(buf_, 20, "%Y-%m-%d %H:%M:%S", &tm);
        const long offset = tm.tm_gmtoff;
        const long minutes = (offset < 0 ? -offset : offset) / 60;
        buf_[19] = '.';
        buf_[26] = offset < 0 ? '-' : '+';
        for (int i = 30, v = static_cast<int>((minutes / 60) * 100 + minutes % 60); i > 26;
             --i, v /= 10) {
            buf_[i] = static_cast<char>('0' + v % 10);
        }
    }
    for (int i = 25, v = static_cast<int>(ts.tv_nsec / 1000); i > 19; --i, v /= 10) {
        buf_[i] = static_cast<char>('0' + v % 10);
    }
    return {buf_, length == kLongStamp ? kLongStamp : kShortStamp};
}

} // namespace corvane::logstandin
