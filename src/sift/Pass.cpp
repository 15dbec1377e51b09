#include "capture/DataFolder.h"
#include "sift/Dashboard.h"
#include "sift/Sift.h"
#include "util/Files.h"
#include "util/ReadOnlyFile.h"
#include "util/Utf8.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace corvane::Sift {
namespace fs = std::filesystem;

namespace {

// New bytes are read in pieces of this size, so a first pass over a log of many gigabytes
// holds only one piece (plus the unfinished line it ends with) in memory.
constexpr size_t kChunkBytes = size_t{4} << 20;
// A run of bytes this long without a line feed is no line the log tool wrote (a power loss
// can leave gigabytes of NULs): it is handed on cut to this length and consumed whole, so
// the pass moves past it instead of carrying it, and reading it again, forever.
constexpr size_t kMaxLineBytes = size_t{1} << 20;
constexpr double kRetentionSeconds = 86400;

/// Hands every non-empty line of `bytes` (which ends with a line feed and starts at
/// `state.offset`) to `ingestLine`, each cut to `kMaxLineBytes` however the reads fell, and
/// counts the line feeds among them in `state.lines` (so empty lines keep their numbers).
/// Invalid UTF-8 is replaced line by line, after the cut; a line feed always ends an
/// ill-formed sequence, so this decodes exactly as replacing over the whole block would.
uint64_t ingestBlock(std::string_view bytes, State& state, std::string& scratch) {
    uint64_t lines = 0;
    size_t start = 0;
    while (start < bytes.size()) {
        const auto* lf =
            static_cast<const char*>(std::memchr(bytes.data() + start, '\n', bytes.size() - start));
        const size_t end = lf != nullptr ? static_cast<size_t>(lf - bytes.data()) : bytes.size();
        if (end > start) {
            const auto line = bytes.substr(start, std::min(end - start, kMaxLineBytes));
            const LinePlace at{state.lines + 1, state.offset + start};
            if (util::isValidUtf8(line)) {
                ingestLine(line, state, at);
            } else {
                scratch.clear();
                util::appendReplacingInvalidUtf8(scratch, line);
                ingestLine(scratch, state, at);
            }
            ++lines;
        }
        state.lines += lf != nullptr ? 1 : 0;
        start = end + 1;
    }
    return lines;
}

/// Reads the log from `state.offset` to its end and ingests every complete line; the bytes
/// after the last line feed stay unconsumed unless they are an over-long line. A failed read
/// keeps what was consumed before it.
void readNewLines(util::ReadOnlyFile& file, uint64_t size, State& state, PassResult& result,
                  const PassProgress& progress) {
    file.seek(state.offset);
    const uint64_t total = size > state.offset ? size - state.offset : 0;
    // Small appends (the usual 45-second pass) get a small buffer; it grows only for a line
    // longer than one read.
    const size_t piece = static_cast<size_t>(std::clamp<uint64_t>(total, 1 << 16, kChunkBytes));
    std::unique_ptr<char[]> buffer(new char[piece]);
    size_t capacity = piece;
    std::string scratch;
    size_t carried = 0; // bytes of an unfinished line at the start of `buffer`
    // The bytes up to the next line feed end an over-long line: also when an earlier pass
    // consumed the line's start, cut, at what was then the end of the log.
    bool overLong = state.offset > 0 && file.bytesAt(state.offset - 1, 1) != "\n";
    uint64_t read = 0;
    const auto consume = [&](size_t taken) {
        state.offset += taken;
        result.bytesConsumed += taken;
        carried -= taken;
        std::memmove(buffer.get(), buffer.get() + taken, carried);
    };
    for (;;) {
        if (capacity < carried + piece) {
            capacity = std::max(capacity * 2, carried + piece);
            std::unique_ptr<char[]> larger(new char[capacity]);
            std::memcpy(larger.get(), buffer.get(), carried);
            buffer = std::move(larger);
        }
        const ssize_t n = file.read(buffer.get() + carried, piece);
        if (n <= 0) {
            break;
        }
        read += static_cast<uint64_t>(n);
        const std::string_view fresh(buffer.get() + carried, static_cast<size_t>(n));
        // The carried bytes hold no line feed, so only the new ones need searching.
        size_t searchFrom = carried;
        carried += fresh.size();
        if (overLong) { // nothing was carried: the over-long line was consumed
            const size_t end = fresh.find('\n');
            state.lines += end == std::string_view::npos ? 0 : 1;
            consume(end == std::string_view::npos ? carried : end + 1);
            overLong = end == std::string_view::npos;
            searchFrom = 0;
        }
        const size_t lf =
            std::string_view(buffer.get() + searchFrom, carried - searchFrom).rfind('\n');
        if (lf != std::string_view::npos) {
            const size_t taken = searchFrom + lf + 1;
            result.linesIngested += ingestBlock({buffer.get(), taken}, state, scratch);
            consume(taken);
        }
        if (carried >= kMaxLineBytes) {
            result.linesIngested += ingestBlock({buffer.get(), kMaxLineBytes}, state, scratch);
            consume(carried);
            overLong = true;
        }
        if (progress) {
            progress(std::min(read, total), total);
        }
    }
}

/// The sizes and counts that retention can change.
auto retentionFootprint(const State& s) {
    return std::tuple(std::array{s.dPeer.size(), s.aPeer.size(), s.macTail.size(), s.macAid.size(),
                                 s.dAdsid.size(), s.aAdsid.size(), s.owner.size(), s.cul.size(),
                                 s.access.size(), s.recentRes.size(), s.pairs.size(), s.kbd.size(),
                                 s.ble.size()},
                      s.pairsTotal, s.pairsScreen, s.kbdTotal, s.bleTotal, s.minE, s.maxE);
}

/// Forgets everything last seen more than a day before `now`, recounts the totals and sets
/// the time range from the remaining peers. Returns whether that changed the state.
bool applyRetention(State& state, double now) {
    const auto before = retentionFootprint(state);
    const double cutoff = now - kRetentionSeconds;
    std::erase_if(state.dPeer, [cutoff](const auto& entry) { return entry.second.last < cutoff; });
    std::erase_if(state.aPeer, [cutoff](const auto& entry) { return entry.second.last < cutoff; });
    dropOrphans(state);
    std::erase_if(state.cul, [cutoff](const auto& entry) { return entry.second.last < cutoff; });
    std::erase_if(state.access,
                  [cutoff](const auto& entry) { return entry.second.epoch < cutoff; });
    const auto old = [cutoff](const auto& row) { return row.t < cutoff; };
    std::erase_if(state.recentRes, old);
    std::erase_if(state.pairs, old);
    std::erase_if(state.kbd, old);
    std::erase_if(state.ble, old);

    state.pairsTotal = static_cast<int64_t>(state.pairs.size());
    state.pairsScreen = static_cast<int64_t>(std::count_if(state.pairs.begin(), state.pairs.end(),
                                                           [](const auto& p) { return p.screen; }));
    state.kbdTotal = static_cast<int64_t>(state.kbd.size());
    state.bleTotal = static_cast<int64_t>(state.ble.size());

    state.minE = kMaxDouble;
    state.maxE = 0;
    for (const auto* peers : {&state.dPeer, &state.aPeer}) {
        for (const auto& [mac, peer] : *peers) {
            state.minE = std::min(state.minE, peer.first);
            state.maxE = std::max(state.maxE, peer.last);
        }
    }
    return retentionFootprint(state) != before;
}

std::string joinLines(const std::deque<std::string>& lines) {
    size_t size = 0;
    for (const auto& line : lines) {
        size += line.size() + 1;
    }
    std::string out;
    out.reserve(size);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) {
            out += '\n';
        }
        out += lines[i];
    }
    return out;
}

} // namespace

PassResult runPass(const fs::path& dataFolder, double now, const PassProgress& progress) {
    PassResult result;
    const DataFolder layout(dataFolder);
    util::createFolders(layout.sift());
    // The data folder may be a link; the folders made in it are not followed.
    util::sweepTemporaryFiles(layout.root, util::kStaleTemporarySeconds, util::FolderLink::Follow);
    for (const fs::path& folder : {layout.sift(), layout.reports()}) {
        util::sweepTemporaryFiles(folder, util::kStaleTemporarySeconds);
    }

    std::error_code ec;
    const bool demo = fs::exists(layout.demoLog(), ec);
    const OwnerIds owner = demo ? OwnerIds{} : readOwnerIds(dataFolder);
    const fs::path log = demo ? layout.demoLog() : layout.evidenceLog();
    const fs::path statePath = demo ? layout.demoState() : layout.liveState();
    if (!fs::exists(log, ec)) {
        result.outcome = PassOutcome::NoLog;
        return result;
    }

    // One descriptor for the size, the head and the new bytes; a FIFO or a device in the
    // log's place is not opened, and reads as a log that cannot be opened.
    util::ReadOnlyFile file(log);
    const uint64_t size = file.size();
    const std::string head = util::replaceInvalidUtf8(file.bytesAt(0, kLogHeadBytes));
    auto [state, olderState] = loadStateFile(statePath);

    bool read = false;
    bool reset = false;
    // A pass under a clock that ran ahead pruned what was then older than a day; once the
    // clock is back, those lines are young again but lie behind `offset`: read them anew.
    const bool clockWentBack = state.passTime - now > kClockSlack;
    if (state.head == head && size >= state.offset && !clockWentBack) {
        read = state.offset < size;
        result.outcome = PassOutcome::NothingNew;
    } else if (clockWentBack) {
        state = State{};
        state.head = head;
        reset = true;
        read = size > 0;
        result.outcome = PassOutcome::ClockWentBack;
    } else {
        // A log shorter than the head changes its head as it grows: it is read again from
        // its first byte like a replaced one, but it was not replaced.
        const bool grew = sameLogHead(state.head, head) && size >= state.offset;
        state = State{};
        state.head = head;
        reset = true;
        read = size > 0;
        result.outcome = olderState ? PassOutcome::StateUpgraded
                         : grew     ? PassOutcome::NothingNew
                                    : PassOutcome::LogReplaced;
    }
    if (read) {
        readNewLines(file, size, state, result, progress);
    }
    if (result.outcome == PassOutcome::NothingNew && result.linesIngested > 0) {
        result.outcome = PassOutcome::NewLines;
    }

    // Within a pass a map may grow to twice its cap; the stored state keeps within them.
    const bool capped = applyCaps(state);
    const bool pruned = applyRetention(state, now) || capped;
    // An idle pass that found the state as it was stored leaves the state file and the view
    // log as they are: rewriting the same bytes every 45 seconds would cost a full encode
    // and a flush to disk each time. A fresh state is always written (its file may be one
    // that did not decode).
    const bool changed = pruned || reset || result.bytesConsumed > 0 || state == State{};
    const fs::path viewLog = layout.viewLog();
    if (changed || !fs::exists(statePath, ec)) {
        // Only a changed state records the clock: an idle pass changes nothing a clock set
        // back later could hide.
        state.passTime = std::max(state.passTime, now);
        if (!saveState(state, statePath)) {
            result.failure =
                util::Failure{"can't save " + statePath.filename().string(), std::strerror(errno)};
        }
    }
    // The demo dashboard is canned: a demo pass keeps it, and the view log, until "Live".
    if (!demo) {
        if (changed || !fs::exists(viewLog, ec)) {
            util::writeFileAtomic(viewLog, joinLines(state.view), util::FolderLink::Follow);
        }
        writeDashboard(dataFolder, state, owner, now, file, log.filename().string(), changed);
    }
    return result;
}

} // namespace corvane::Sift
