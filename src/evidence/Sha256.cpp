#include "evidence/Sha256.h"

#include <memory>
#include <new>
#include <openssl/evp.h>

namespace corvane::evidence {

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) != 1) {
        throw std::bad_alloc(); // only when the library cannot allocate a context
    }
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(ctx_);
}

void Sha256::update(std::string_view bytes) {
    EVP_DigestUpdate(ctx_, bytes.data(), bytes.size());
}

std::string Sha256::hexDigest() const {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> copy(EVP_MD_CTX_new(),
                                                                 &EVP_MD_CTX_free);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!copy || EVP_MD_CTX_copy_ex(copy.get(), ctx_) != 1 ||
        EVP_DigestFinal_ex(copy.get(), digest, &length) != 1) {
        throw std::bad_alloc();
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        out += kHex[digest[i] >> 4];
        out += kHex[digest[i] & 0xF];
    }
    return out;
}

std::string sha256Hex(std::string_view bytes) {
    Sha256 hash;
    hash.update(bytes);
    return hash.hexDigest();
}

} // namespace corvane::evidence
