#pragma once

#include <cstddef>
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

} // namespace corvane::evidence
