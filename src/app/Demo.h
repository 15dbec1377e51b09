#pragma once

#include <filesystem>

namespace corvane::app {

/// Removes every entry of sift/ except the owner baseline. A folder that cannot be listed is
/// left as it is.
void clearAnalysisFiles(const std::filesystem::path& dataFolder);

/// The demo data set: sift/ emptied but for the baseline, the canned dashboard files written
/// and the demo marker created (while it exists passes leave the canned files alone). Each failure
/// is ignored; the marker is written regardless.
void writeDemoFiles(const std::filesystem::path& dataFolder);

} // namespace corvane::app
