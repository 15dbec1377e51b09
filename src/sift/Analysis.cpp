#include "sift/Analysis.h"

#include "baseline/Baseline.h"

namespace corvane::Sift {

PassResult runAnalysis(const std::filesystem::path& dataFolder, double now,
                       const PassProgress& progress) {
    Baseline::refresh(dataFolder, kBaselineWindow, now);
    return runPass(dataFolder, now, progress);
}

const char* outcomeText(PassOutcome outcome) {
    switch (outcome) {
    case PassOutcome::NoLog:
        return "no log";
    case PassOutcome::NothingNew:
        return "nothing new";
    case PassOutcome::NewLines:
        return "new lines";
    case PassOutcome::LogReplaced:
        return "log replaced";
    case PassOutcome::ClockWentBack:
        return "clock went back";
    case PassOutcome::StateUpgraded:
        return "analysed again (the state predates line references)";
    }
    return "unknown";
}

} // namespace corvane::Sift
