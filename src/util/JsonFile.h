#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::util {

/// The JSON value in a file, or nothing when it cannot be read or parsed. Never throws.
std::optional<nlohmann::json> readJson(const std::filesystem::path& path);

/// Like `readJson`, but only a JSON object counts.
std::optional<nlohmann::json> readJsonObject(const std::filesystem::path& path);

/// The string under `key` of a JSON object, or nothing when absent or of another type.
std::optional<std::string> stringAt(const nlohmann::json& object, std::string_view key);

/// The strings of the array under `key` of a JSON object, or nothing when it is absent or
/// not an array of strings only.
std::optional<std::vector<std::string>> stringArrayAt(const nlohmann::json& object,
                                                      std::string_view key);

/// Serialises a value; invalid UTF-8 in strings is replaced rather than thrown on.
/// `indent` < 0 gives the compact form.
std::string dumpJson(const nlohmann::json& value, int indent);

} // namespace corvane::util
