#include "util/LocalTime.h"

#include <array>
#include <atomic>
#include <chrono>
#include <ctime>

namespace corvane::util {
namespace {

std::atomic<uint64_t> zoneGeneration{1};

struct HourOffset {
    int64_t hour = INT64_MIN; // hour number (seconds / 3600) the entry describes
    int64_t offset = 0;       // seconds east of UTC valid for the whole hour
    bool uniform = false;     // false when a transition falls inside the hour
    uint64_t generation = 0;
};

int64_t floorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

int64_t offsetAt(int64_t t) {
    const time_t tt = static_cast<time_t>(t);
    std::tm tm{};
    if (localtime_r(&tt, &tm) == nullptr) {
        return 0;
    }
    return tm.tm_gmtoff;
}

struct Civil {
    int64_t y;
    unsigned m, d;
};

Civil civilFromDays(int64_t z) {
    z += 719468;
    const int64_t era = floorDiv(z, 146097);
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {y + (m <= 2), m, d};
}

bool isLeap(int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned daysInMonth(int64_t y, unsigned m) {
    static constexpr std::array<unsigned, 12> days{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : days[m - 1];
}

/// The instant whose local wall time is `wall` (wall-clock seconds counted as if UTC);
/// the later instant when the wall time occurs twice, nothing when it never occurs.
std::optional<int64_t> resolveWall(int64_t wall) {
    const int64_t before = offsetAt(wall - 86400);
    const int64_t after = offsetAt(wall + 86400);
    std::optional<int64_t> best;
    for (const int64_t o : {before, after}) {
        const int64_t t = wall - o;
        if (offsetAt(t) == o && (!best || t > *best)) {
            best = t;
        }
    }
    return best;
}

/// Offset to subtract from wall-clock seconds in the local hour `hour`, when one offset
/// serves the whole hour.
const HourOffset& wallHour(int64_t hour) {
    thread_local HourOffset cache;
    const uint64_t gen = zoneGeneration.load(std::memory_order_relaxed);
    if (cache.hour == hour && cache.generation == gen) {
        return cache;
    }
    const int64_t start = hour * 3600;
    const auto first = resolveWall(start);
    const auto last = resolveWall(start + 3599);
    cache = HourOffset{hour, 0, false, gen};
    if (first && last && start - *first == start + 3599 - *last) {
        cache.offset = start - *first;
        cache.uniform = true;
    }
    return cache;
}

/// Offset east of UTC in the UTC hour `hour`, when one offset serves the whole hour.
const HourOffset& instantHour(int64_t hour) {
    thread_local HourOffset cache;
    const uint64_t gen = zoneGeneration.load(std::memory_order_relaxed);
    if (cache.hour == hour && cache.generation == gen) {
        return cache;
    }
    const int64_t start = hour * 3600;
    const int64_t o = offsetAt(start);
    cache = HourOffset{hour, o, offsetAt(start + 3599) == o, gen};
    return cache;
}

bool readDigits(std::string_view s, size_t pos, size_t count, unsigned& value) {
    value = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        const char c = s[i];
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

void putDigits(char* out, unsigned value, int count) {
    for (int i = count - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

/// Writes wall-clock seconds as "yyyy-MM-dd<sep>HH:mm:ss" (19 characters).
void writeWall(int64_t wall, char separator, char* out) {
    const int64_t days = floorDiv(wall, 86400);
    const auto secs = static_cast<unsigned>(wall - days * 86400);
    const Civil c = civilFromDays(days);
    putDigits(out, static_cast<unsigned>(c.y), 4);
    out[4] = '-';
    putDigits(out + 5, c.m, 2);
    out[7] = '-';
    putDigits(out + 8, c.d, 2);
    out[10] = separator;
    putDigits(out + 11, secs / 3600, 2);
    out[13] = ':';
    putDigits(out + 14, secs / 60 % 60, 2);
    out[16] = ':';
    putDigits(out + 17, secs % 60, 2);
}

} // namespace

int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = floorDiv(y, 400);
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

std::optional<int64_t> parseLocalDateTime(std::string_view text) {
    if (text.size() != 19 || text[4] != '-' || text[7] != '-' || text[10] != ' ' ||
        text[13] != ':' || text[16] != ':') {
        return std::nullopt;
    }
    unsigned y, mo, d, h, mi, s;
    if (!readDigits(text, 0, 4, y) || !readDigits(text, 5, 2, mo) || !readDigits(text, 8, 2, d) ||
        !readDigits(text, 11, 2, h) || !readDigits(text, 14, 2, mi) ||
        !readDigits(text, 17, 2, s)) {
        return std::nullopt;
    }
    if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > daysInMonth(y, mo) || h > 23 || mi > 59 ||
        s > 59) {
        return std::nullopt;
    }
    const int64_t wall = daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
    const HourOffset& hour = wallHour(floorDiv(wall, 3600));
    if (hour.uniform) {
        return wall - hour.offset;
    }
    return resolveWall(wall);
}

/// Wall-clock seconds (local time counted as if UTC) of an instant.
int64_t localWall(int64_t epochSeconds) {
    const HourOffset& hour = instantHour(floorDiv(epochSeconds, 3600));
    return epochSeconds + (hour.uniform ? hour.offset : offsetAt(epochSeconds));
}

void formatLocalDateTime(int64_t epochSeconds, char* out) {
    writeWall(localWall(epochSeconds), ' ', out);
}

std::string formatLocalDateTime(int64_t epochSeconds) {
    const int64_t wall = localWall(epochSeconds);
    std::string out(19, ' ');
    writeWall(wall, ' ', out.data());
    // Years past 9999 need more digits than the fixed-width form holds.
    if (const int64_t year = civilFromDays(floorDiv(wall, 86400)).y; year > 9999) {
        out.replace(0, 4, std::to_string(year));
    }
    return out;
}

std::string formatTimestamp(double t) {
    if (!(t > 0 && t < 1e12)) {
        return "—";
    }
    return formatLocalDateTime(static_cast<int64_t>(t));
}

std::string formatIsoUtc(int64_t epochSeconds) {
    std::string out(20, 'Z');
    writeWall(epochSeconds, 'T', out.data());
    return out;
}

std::string formatLocal(int64_t epochSeconds, const char* strftimePattern) {
    const time_t tt = static_cast<time_t>(epochSeconds);
    std::tm tm{};
    localtime_r(&tt, &tm);
    char buf[128];
    const size_t n = std::strftime(buf, sizeof buf, strftimePattern, &tm);
    return std::string(buf, n);
}

double nowEpoch() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

void timeZoneChanged() {
    tzset();
    zoneGeneration.fetch_add(1, std::memory_order_relaxed);
}

} // namespace corvane::util
