#pragma once

#include "baseline/Baseline.h"
#include "evidence/Export.h"
#include "util/Expected.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

/// The operations both front ends offer, written once: the app's QObjects and the CLI's
/// commands only translate their arguments and results. Each takes the data folder (and the
/// clock where time matters) and runs on whatever thread calls it; callers keep what rewrites
/// sift/ on the analysis worker.
namespace corvane::monitor {

/// The setup's learning step: the phone seen near the Mac since the owner began the procedure
/// becomes the owner's, with every device that announced the owner's account. A phone that
/// could not be written down is not learned.
Baseline::Learned learnOwner(const std::filesystem::path& dataFolder, double since, double now);

/// The owner confirms the device of `tail` as theirs (the page's "This is my device" and
/// `corvane trust`); the next pass no longer lists it.
std::optional<util::Failure> trustDevice(const std::filesystem::path& dataFolder,
                                         const std::string& tail, double now);

/// The setup's evaluation step: the owner's connection addresses over the baseline window.
Baseline::Refreshed evaluateOwner(const std::filesystem::path& dataFolder, double now);

/// Forgets the learned phone (Re-run Setup).
void forgetOwner(const std::filesystem::path& dataFolder);

/// Copies the dashboard pages from the resources into the data folder (created if need be),
/// replacing the copies there.
void installPages(const std::filesystem::path& dataFolder,
                  const std::filesystem::path& resourcesDir);

/// Whether the demo data set is loaded (its marker exists).
bool demoLoaded(const std::filesystem::path& dataFolder);

/// Removes every entry of sift/ except the owner baseline. A folder that cannot be listed is
/// left as it is.
void resetAnalysis(const std::filesystem::path& dataFolder);

/// The demo data set: sift/ emptied but for the baseline, the canned dashboard files
/// (`canned(name)` gives each file's bytes, nothing when it has none) written, and the marker
/// created; while it exists passes leave the canned files alone. Each failure is ignored; the
/// marker is written regardless.
void loadDemo(const std::filesystem::path& dataFolder,
              const std::function<std::optional<std::string>(std::string_view name)>& canned);

/// Leaves the demo: removes its marker. The next pass analyses the evidence log again once
/// the analysis is reset.
void leaveDemo(const std::filesystem::path& dataFolder);

/// Builds the evidence report of `day` (the last listed day when none) as of `now`.
util::Expected<std::filesystem::path> report(const std::filesystem::path& dataFolder,
                                             const std::optional<std::string>& day,
                                             const std::filesystem::path& vaultFolder, int64_t now);

/// Archives the evidence log and the reports into `destination`; `progress` (bytes done,
/// bytes in all) is called on this thread as the archive is written.
evidence::ExportOutcome exportEvidence(const std::filesystem::path& dataFolder,
                                       const std::filesystem::path& destination,
                                       const evidence::ExportProgress& progress = {});

/// What removing everything achieved.
struct Removal {
    bool vaultRemoved = true; ///< false when the vault is still installed afterwards
};

/// Uninstall, without the window: removes the vault when it is installed (asking for the
/// administrator password; blocks until answered), then the data folder. Callers stop the
/// capture and drain the analysis first; nothing here recreates the folder.
Removal removeEverything(const std::filesystem::path& dataFolder,
                         const std::filesystem::path& vaultFolder);

} // namespace corvane::monitor
