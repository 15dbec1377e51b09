#pragma once

#include <filesystem>

/// The only place that knows which operating system it runs on. Each function has one
/// implementation per system (Platform_macos.cpp, Platform_linux.cpp), chosen by the build.
namespace corvane::platform {

/// The per-user data folder, resolved afresh on every call. Creates nothing.
/// macOS: ~/Library/Application Support/CV. Linux: ${XDG_DATA_HOME:-~/.local/share}/CV.
std::filesystem::path dataFolder();

/// The folder holding the running executable.
std::filesystem::path executableDir();

/// The resources shipped beside the binaries (the bundle's Resources folder on macOS).
std::filesystem::path resourcesDir();

/// The system log tool: /usr/bin/log on macOS, the corvane-log stand-in elsewhere.
std::filesystem::path logToolPath();

} // namespace corvane::platform
