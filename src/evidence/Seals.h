#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

/// The integrity of the evidence log: the vault's latest seals and the log's own digest.
namespace corvane::evidence {

/// The last non-empty line of the vault file `name`, exactly as written (a carriage return
/// before the line feed stays); nothing when the file is missing, unreadable, not UTF-8 or
/// holds no such line.
std::optional<std::string> lastSealLine(const std::filesystem::path& vaultFolder,
                                        std::string_view name);

/// SHA-256 of a whole file as 64 lower-case hexadecimal digits, read in blocks so memory
/// stays constant however large the log grows; nothing when it cannot be read. A log that
/// grows meanwhile is hashed up to the end seen by the last read.
std::optional<std::string> logDigest(const std::filesystem::path& path,
                                     const std::function<void(uint64_t)>& progress = {});

} // namespace corvane::evidence
