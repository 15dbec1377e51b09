#pragma once

#include <filesystem>

namespace corvane::platform {

/// The current user's home folder ($HOME, else the password database).
std::filesystem::path homeFolder();

} // namespace corvane::platform
