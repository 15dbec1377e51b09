#pragma once

#include "sift/State.h"
#include "util/Expected.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>

/// The incremental analyser of the evidence log.
namespace corvane::Sift {

/// Where a line lies in the evidence log: its number (1-based) and its first byte's offset.
struct LinePlace {
    uint64_t line = 0;
    uint64_t offset = 0;
};

/// Folds one evidence-log line (without its line feed) into the state, referring every
/// finding it adds to to `at`. Never fails; safe on any bytes. Changes every field but
/// `head`, `offset` and `lines`.
void ingestLine(std::string_view line, State& state, LinePlace at = {});

/// Brings every map of the state within its cap, evicting the least recently seen peers,
/// culprits and access events and the least counted keys of a MAC's count maps, and drops
/// what is kept for MACs that are no longer peers when that made room. Returns whether it
/// changed anything; nothing changes below the caps. `ingestLine` calls it once a map holds
/// twice its cap, so a flood costs amortised constant time per line.
bool applyCaps(State& state);

/// Keeps the `kMaxKeysPerMac` most counted keys of one MAC's count map (on equal counts the
/// first in key order, so its dominant key stays). Returns whether it removed any.
bool trimCounts(std::map<std::string, int64_t>& counts);

/// Drops the entries of the maps keyed by MAC whose MAC is no longer a peer.
void dropOrphans(State& state);

/// What one pass found in the analysed log.
enum class PassOutcome {
    NoLog,         // the analysed log does not exist: nothing read or written
    NothingNew,    // no new complete line since the last pass
    NewLines,      // new lines were analysed
    LogReplaced,   // the log no longer matched the state: analysed again from its first byte
    ClockWentBack, // the clock is well behind an earlier pass: analysed again from the start
    StateUpgraded, // the state predates line references: analysed again from the start, once
};

struct PassResult {
    PassOutcome outcome = PassOutcome::NoLog;
    uint64_t bytesConsumed = 0;
    uint64_t linesIngested = 0;
    /// Set when the state could not be saved: the next pass reads the same lines again.
    std::optional<util::Failure> failure;
};

/// How far (seconds) the clock may be behind the latest pass over a state before the log is
/// analysed again from its start: more than the usual corrections of a synchronised clock.
inline constexpr double kClockSlack = 300;

/// Called while a pass reads new bytes: bytes read so far, bytes to read in all.
using PassProgress = std::function<void(uint64_t done, uint64_t total)>;

/// One analyser pass over the data folder as of `now` (seconds since 1970).
PassResult runPass(const std::filesystem::path& dataFolder, double now,
                   const PassProgress& progress = {});

} // namespace corvane::Sift
