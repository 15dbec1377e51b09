#pragma once

#include <array>
#include <string_view>

namespace corvane {

/// The dashboard pages and the files they load, copied from the application's resources
/// into the data folder, where the pages read the analysis files beside them.
inline constexpr std::array<std::string_view, 6> kDashboardPageFiles{
    "radar.html", "raw_log.html", "dashboard.css", "dashboard.js", "radar.js", "raw_log.js"};

} // namespace corvane
