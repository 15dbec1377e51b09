#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace corvane::evidence {

/// The result of checking the vault's seals against an evidence log.
struct VerifyOutcome {
    bool ok = false;
    size_t seals = 0;         ///< seal lines found
    std::string lastSealTime; ///< the time of the last seal line, when it has one
    std::string message;      ///< "OK: …" or "FAIL: …", one line for people
};

/// Called with the bytes hashed so far and the bytes to hash in all.
using VerifyProgress = std::function<void(uint64_t doneBytes, uint64_t totalBytes)>;

/// Checks every seal of the vault against `log` in one streaming pass: each seal's length
/// lies within the log and its SHA-256 equals that of the log's first so many bytes, and
/// each master seal line chains the previous master line to its seal line. Shows that no
/// earlier byte of the evidence changed since it was sealed. The first failing seal (in
/// file order) and why are named in the message.
VerifyOutcome verifySeals(const std::filesystem::path& log,
                          const std::filesystem::path& vaultFolder,
                          const VerifyProgress& progress = {});

} // namespace corvane::evidence
