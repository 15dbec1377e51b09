#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace corvane::platform {

/// The current user's home folder ($HOME, else the password database).
std::filesystem::path homeFolder();

/// Starts `argv` (argv[0] looked up in PATH unless it holds a "/") without a shell, waits
/// for it and returns its exit status; nothing when it cannot be started or is killed.
std::optional<int> spawnAndWait(const std::vector<std::string>& argv);

/// The login item's file for `executable`, in this system's format.
std::string loginItemText(const std::filesystem::path& executable);

} // namespace corvane::platform
