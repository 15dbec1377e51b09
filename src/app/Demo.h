#pragma once

#include <filesystem>

namespace corvane::app {

/// The demo marker in the data folder; while it exists passes leave the canned files alone.
inline constexpr const char* kDemoMarker = "CV_demo.log";

/// Removes every entry of sift/ except baseline.json. A folder that cannot be listed is
/// left as it is.
void clearAnalysisFiles(const std::filesystem::path& dataFolder);

/// The demo data set: sift/ emptied but for the baseline, the canned dashboard files written
/// and the marker created. Each failure is ignored; the marker is written regardless.
void writeDemoFiles(const std::filesystem::path& dataFolder);

} // namespace corvane::app
