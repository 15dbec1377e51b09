#pragma once

#include <string>
#include <vector>

/// Full Disk Access: how the application learns whether it may read the system log, and
/// where the owner grants it. One implementation per system, like Platform.h's.
namespace corvane::platform {

/// The log tool's arguments that probe whether the program may read the system log: a look
/// one second back, which fails without Full Disk Access.
std::vector<std::string> accessProbeArguments();

/// The system settings pane where the owner grants Full Disk Access, as a URL for the desktop
/// to open; empty where the system has no such pane.
std::string fullDiskAccessSettingsUrl();

} // namespace corvane::platform
