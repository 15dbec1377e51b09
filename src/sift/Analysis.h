#pragma once

#include "sift/Sift.h"

#include <filesystem>

namespace corvane::Sift {

/// Seconds of evidence log the owner baseline is re-evaluated over before each pass.
inline constexpr double kBaselineWindow = 1200;

/// One analysis work item as of `now`: the owner baseline refresh, then one pass. Callers
/// keep work items from overlapping (one serial worker).
PassResult runAnalysis(const std::filesystem::path& dataFolder, double now,
                       const PassProgress& progress = {});

/// A short word for an outcome: "no log", "nothing new", "new lines", "log replaced",
/// "clock went back", or a note that an older state was analysed again.
const char* outcomeText(PassOutcome outcome);

} // namespace corvane::Sift
