#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace corvane::evidence {

/// A running SHA-256 (OpenSSL EVP, so the CPU's SHA instructions are used where present).
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(std::string_view bytes);

    /// The digest of everything fed so far, as 64 lower-case hexadecimal digits. Finalises a
    /// copy, so the running hash can go on.
    std::string hexDigest() const;

  private:
    evp_md_ctx_st* ctx_;
};

/// SHA-256 of a text, 64 lower-case hexadecimal digits.
std::string sha256Hex(std::string_view bytes);

/// Called with the bytes read so far.
using ReadProgress = std::function<void(uint64_t doneBytes)>;

/// Reads a file from its start in blocks, handing each block to `consume`, until its end or
/// until `limit` bytes were read. Memory stays constant whatever the file's size. The number
/// of bytes read, or nothing when the file cannot be opened or read.
std::optional<uint64_t> readBlocks(const std::filesystem::path& path, uint64_t limit,
                                   const std::function<void(std::string_view)>& consume,
                                   const ReadProgress& progress = {});

} // namespace corvane::evidence
