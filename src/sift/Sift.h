#pragma once

#include "sift/State.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string_view>

/// The incremental analyser of the evidence log.
namespace corvane::Sift {

/// Folds one evidence-log line (without its line feed) into the state. Never fails; safe on
/// any bytes. Changes every field but `head` and `offset`.
void ingestLine(std::string_view line, State& state);

/// What one pass found in the analysed log.
enum class PassOutcome {
    NoLog,       // the analysed log does not exist: nothing read or written
    NothingNew,  // no new complete line since the last pass
    NewLines,    // new lines were analysed
    LogReplaced, // the log no longer matched the state: analysed again from its first byte
};

struct PassResult {
    PassOutcome outcome = PassOutcome::NoLog;
    uint64_t bytesConsumed = 0;
    uint64_t linesIngested = 0;
};

/// Called while a pass reads new bytes: bytes read so far, bytes to read in all.
using PassProgress = std::function<void(uint64_t done, uint64_t total)>;

/// One analyser pass over the data folder as of `now` (seconds since 1970).
PassResult runPass(const std::filesystem::path& dataFolder, double now,
                   const PassProgress& progress = {});

} // namespace corvane::Sift
