#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace corvane::util {

/// The JSON value in a file, or nothing when it cannot be read or parsed. Never throws.
std::optional<nlohmann::json> readJson(const std::filesystem::path& path);

/// Like `readJson`, but only a JSON object counts.
std::optional<nlohmann::json> readJsonObject(const std::filesystem::path& path);

/// Serialises a value; invalid UTF-8 in strings is replaced rather than thrown on.
/// `indent` < 0 gives the compact form.
std::string dumpJson(const nlohmann::json& value, int indent);

} // namespace corvane::util
