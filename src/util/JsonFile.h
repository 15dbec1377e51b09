#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::util {

/// Arrays and objects nested deeper than this make a JSON text corrupt. None of our files
/// comes near it, and it keeps every recursive walk over a parsed value (the writer's
/// included) far from the end of the stack.
inline constexpr int kMaxJsonDepth = 64;

/// Whether the arrays and objects of a JSON text nest at most `maxDepth` deep. Linear and
/// allocation-free; brackets inside strings do not count. Says nothing about validity.
bool nestsWithin(std::string_view text, int maxDepth = kMaxJsonDepth);

/// The JSON value of a text, or nothing when it does not parse or nests too deep.
std::optional<nlohmann::json> parseJson(std::string_view text);

/// The JSON value in a regular file of at most `maxBytes`, or nothing when it cannot be read,
/// is larger, does not parse or nests too deep. Never throws.
std::optional<nlohmann::json> readJson(const std::filesystem::path& path, uint64_t maxBytes);

/// Like `readJson`, but only a JSON object counts.
std::optional<nlohmann::json> readJsonObject(const std::filesystem::path& path, uint64_t maxBytes);

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
