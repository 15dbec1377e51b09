#include "baseline/RowReader.h"

#include "capture/DataFolder.h"
#include "sift/Extract.h"
#include "util/Files.h"
#include "util/LocalTime.h"
#include "util/Regex.h"
#include "util/Utf8.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace corvane::Baseline {
namespace {

using util::Regex;

/// How far before the cutoff the backward scan keeps reading: capture stamps are local wall
/// time, which steps back an hour when daylight saving ends, so a line somewhat older than the
/// cutoff does not prove that every earlier line is older still.
constexpr double kStampSlackSeconds = 2 * 3600;

/// How far back from the end of the log the scan reads at most, whatever the lines' times
/// say: lines without a time (bare line feeds, say) never end it by time. Twenty minutes of
/// the sample capture take under 1 MB; a log busier than this is a flood, and its newest
/// lines are the ones that count.
constexpr uint64_t kMaxScanBytes = uint64_t{32} << 20;

/// A line longer than this is no line of the log tool's: the scan skips it rather than
/// gathering it in memory.
constexpr size_t kMaxLineBytes = size_t{1} << 20;

struct Patterns {
    Regex stamp{R"((\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}))"};
    Regex rssi{R"(RSSI\s*(-?\d{1,3}))"};
    Regex tt{R"(TT 0x([0-9a-fA-F]+))"};
    Regex mac{R"(([0-9A-Fa-f]{2}(?::[0-9A-Fa-f]{2}){5}))"};
    Regex addr{R"(Addr ([0-9a-fA-F]{12}))"};
    // The identifier's whole final group: its last 12 digits are the device address.
    Regex sfble{R"(SFBLEDevice ID [0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-([0-9a-f]{12}))"};
    Regex cbDevice{
        R"(CBDevice ([0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}))"};
    Regex nbIAT{R"(nbIAT <([0-9a-fA-F ]{6,})>)"};
    Regex at{R"(\bAT <?([0-9a-fA-F]{2}(?: ?[0-9a-fA-F]{2}){2})>?)"};
    Regex authTag{R"(DeviceAuthTag: <([0-9a-fA-F]{2}(?: ?[0-9a-fA-F]{2}){2})>)"};
};

const Patterns& patterns() {
    static const Patterns p;
    return p;
}

bool contains(std::string_view line, std::string_view text) {
    return line.find(text) != std::string_view::npos;
}

/// Group 1 of the leftmost match in a line already known to be valid UTF-8.
std::optional<std::string_view> first(const Regex& re, std::string_view line) {
    const auto m = re.search(line, 0, true);
    return m ? m->group(1) : std::nullopt;
}

std::string upper(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

/// "AA:BB:CC:DD:EE:FF" from exactly 12 hexadecimal digits; nothing for any other length.
std::optional<std::string> macFrom12(std::string_view digits) {
    if (digits.size() != 12) {
        return std::nullopt;
    }
    std::string mac;
    mac.reserve(17);
    for (size_t i = 0; i < 12; i += 2) {
        if (i > 0) {
            mac += ':';
        }
        mac += upper(digits.substr(i, 2));
    }
    return mac;
}

std::optional<std::string> addressOf(std::string_view line) {
    const Patterns& p = patterns();
    if (const auto mac = first(p.mac, line)) {
        return upper(*mac);
    }
    if (contains(line, "Addr ")) {
        if (const auto digits = first(p.addr, line)) {
            return macFrom12(*digits);
        }
    }
    if (contains(line, "SFBLEDevice ID ")) {
        if (const auto digits = first(p.sfble, line)) {
            return macFrom12(*digits);
        }
    }
    if (contains(line, "CBDevice ")) {
        if (const auto uuid = first(p.cbDevice, line)) {
            std::string digits;
            std::copy_if(uuid->begin(), uuid->end(), std::back_inserter(digits),
                         [](char c) { return c != '-'; });
            return macFrom12(std::string_view(digits).substr(digits.size() - 12));
        }
    }
    return std::nullopt;
}

void addTokens(const Regex& re, std::string_view line, std::set<std::string>& toks) {
    re.forEach(
        line,
        [&](const util::Match& m) {
            const auto group = m.group(1);
            if (!group) {
                return;
            }
            std::string token;
            for (const char c : *group) {
                if (c != ' ') {
                    token += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                }
            }
            if (token.size() == 6) {
                toks.insert(std::move(token));
            }
        },
        true);
}

std::set<std::string> tokensOf(std::string_view line) {
    std::set<std::string> toks;
    if (contains(line, "nbIAT <")) {
        addTokens(patterns().nbIAT, line, toks);
    }
    if (contains(line, "AT ")) {
        addTokens(patterns().at, line, toks);
    }
    // An AWDL announcement carries the device's authentication tag where others carry "AT".
    if (contains(line, "AuthTag: <")) {
        addTokens(patterns().authTag, line, toks);
    }
    return toks;
}

std::optional<std::string> ttCodeOf(std::string_view line) {
    if (!contains(line, "TT 0x")) {
        return std::nullopt;
    }
    const auto digits = first(patterns().tt, line);
    if (!digits) {
        return std::nullopt;
    }
    const std::string code = lower(*digits);
    if (code == "10") {
        return "0x10";
    }
    if (code == "4" || code == "04") {
        return "0x04";
    }
    return std::nullopt;
}

/// The figure as written; nothing when it is not in ASCII digits (\d also takes other scripts).
std::optional<int64_t> rssiOf(std::string_view line) {
    if (!contains(line, "RSSI")) {
        return std::nullopt;
    }
    const auto text = first(patterns().rssi, line);
    if (!text) {
        return std::nullopt;
    }
    const bool negative = text->front() == '-';
    int64_t value = 0;
    for (const char c : text->substr(negative ? 1 : 0)) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return negative ? -value : value;
}

bool isStampShaped(std::string_view text) {
    static constexpr std::string_view shape = "0000-00-00 00:00:00";
    if (text.size() < shape.size()) {
        return false;
    }
    for (size_t i = 0; i < shape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == '0' ? !digit : text[i] != shape[i]) {
            return false;
        }
    }
    return true;
}

/// The time of the line's first date-time. Evidence-log lines begin with their capture stamp,
/// which is then that first match without running the pattern. A line with invalid UTF-8 may
/// still get a time here; `rowOf` rejects it.
std::optional<int64_t> stampTime(std::string_view line) {
    if (isStampShaped(line)) {
        return util::parseLocalDateTime(line.substr(0, 19));
    }
    const auto m = patterns().stamp.search(line);
    if (!m) {
        return std::nullopt;
    }
    return util::parseLocalDateTime(*m->group(1));
}

std::optional<Row> rowOf(std::string_view line, int64_t epoch) {
    if (!util::isValidUtf8(line)) {
        return std::nullopt;
    }
    auto mac = addressOf(line);
    if (!mac) {
        return std::nullopt;
    }
    Row row;
    row.mac = std::move(*mac);
    row.tt = ttCodeOf(line);
    row.rssi = rssiOf(line);
    row.toks = tokensOf(line);
    row.epoch = static_cast<double>(epoch);
    row.iphone = contains(line, "iPhone");
    if (contains(line, "CUBonjourDevice")) {
        const Sift::LineScan scan(line);
        row.tail = Sift::deviceTail(scan);
        if (const auto ids = Sift::quotedIds(scan)) {
            row.account = std::string(*ids);
        }
        row.ownerTag = scan.has(Sift::Anchor::OwnerTag);
    }
    return row;
}

/// The lines of a file from its end towards its start, read in blocks, going back at most
/// `maxBytes` from the end. Lines longer than `kMaxLineBytes` are skipped.
class BackwardLines {
  public:
    BackwardLines(int fd, uint64_t size, uint64_t maxBytes)
        : fd_(fd), floor_(size > maxBytes ? size - maxBytes : 0), start_(size) {}

    /// The next non-empty line towards the start of the file, or nothing once
    /// the first line (or the first whole line after the byte bound) has been given, or
    /// after a read error. The view lasts until the next call.
    std::optional<std::string_view> previous() {
        while (true) {
            const void* lf = ::memrchr(buf_.data(), '\n', end_);
            if (lf != nullptr) {
                const size_t at = static_cast<size_t>(static_cast<const char*>(lf) - buf_.data());
                const std::string_view line(buf_.data() + at + 1, end_ - at - 1);
                end_ = at;
                if (std::exchange(skipping_, false) || line.empty()) {
                    // The start of an over-long line, or an empty one: a run of line feeds
                    // is passed over here, byte by byte, rather than line by line.
                    while (end_ > 0 && buf_[end_ - 1] == '\n') {
                        --end_;
                    }
                    continue;
                }
                return line;
            }
            if (start_ == floor_) {
                // Before the bound only part of a line is left; before the file's first
                // byte, a whole one.
                if (done_ || floor_ > 0 || skipping_) {
                    return std::nullopt;
                }
                done_ = true;
                const std::string_view line(buf_.data(), end_);
                end_ = 0;
                return line;
            }
            if (end_ > kMaxLineBytes) {
                skipping_ = true;
                end_ = 0;
            }
            if (!readMore()) {
                failed_ = true;
                return std::nullopt;
            }
        }
    }

    bool failed() const { return failed_; }

  private:
    static constexpr size_t kBlock = 256 * 1024;

    /// Puts the block before the buffer in front of the unread part of the buffer. The block
    /// grows with a line that spans several, so a long line costs linear time.
    bool readMore() {
        const size_t want =
            static_cast<size_t>(std::min<uint64_t>(start_ - floor_, std::max(kBlock, end_)));
        spare_.resize(want + end_);
        std::memcpy(spare_.data() + want, buf_.data(), end_);
        size_t got = 0;
        while (got < want) {
            const ssize_t n = ::pread(fd_, spare_.data() + got, want - got,
                                      static_cast<off_t>(start_ - want + got));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            got += static_cast<size_t>(n);
        }
        buf_.swap(spare_);
        start_ -= want;
        end_ = buf_.size();
        return true;
    }

    int fd_;
    uint64_t floor_; // the scan reads nothing before this offset
    uint64_t start_; // file offset of buf_[0]
    std::string buf_;
    std::string spare_;
    size_t end_ = 0; // bytes of buf_ not yet handed out
    bool done_ = false;
    bool skipping_ = false; // the bytes up to the previous line feed end an over-long line
    bool failed_ = false;
};

std::filesystem::path evidenceLogPath(const std::filesystem::path& dataFolder) {
    return DataFolder(dataFolder).evidenceLog();
}

} // namespace

std::optional<Row> rowOfLine(std::string_view line, double since) {
    const auto epoch = stampTime(line);
    if (!epoch || static_cast<double>(*epoch) < since) {
        return std::nullopt;
    }
    return rowOf(line, *epoch);
}

std::vector<Row> rows(const std::filesystem::path& dataFolder, double since) {
    const int fd = util::openRegularFile(evidenceLogPath(dataFolder));
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return {};
    }
    // Lines appended while we read lie beyond this size and wait for the next call.
    BackwardLines lines(fd, static_cast<uint64_t>(st.st_size), kMaxScanBytes);
    const double stopBefore = since - kStampSlackSeconds;
    std::vector<Row> found;
    while (const auto line = lines.previous()) {
        if (line->empty()) {
            continue;
        }
        const auto epoch = stampTime(*line);
        if (!epoch) {
            continue;
        }
        const auto t = static_cast<double>(*epoch);
        if (t >= since) {
            if (auto row = rowOf(*line, *epoch)) {
                found.push_back(std::move(*row));
            }
        } else if (t < stopBefore && util::isValidUtf8(*line)) {
            break; // every earlier line is older than the cutoff
        }
    }
    ::close(fd);
    if (lines.failed()) {
        return {};
    }
    std::reverse(found.begin(), found.end());
    return found;
}

} // namespace corvane::Baseline
