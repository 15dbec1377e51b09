#include "evidence/Sha256.h"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <new>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

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

std::optional<uint64_t> readBlocks(const std::filesystem::path& path, uint64_t limit,
                                   const std::function<void(std::string_view)>& consume,
                                   const ReadProgress& progress) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        return std::nullopt;
    }
    // Large enough to amortise the system calls, small enough to stay in the CPU's caches
    // while it is hashed.
    constexpr size_t kBlock = 256 * 1024;
    const auto block = std::make_unique<char[]>(kBlock);
    uint64_t done = 0;
    while (done < limit) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kBlock, limit - done));
        const ssize_t n = ::read(fd, block.get(), want);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        consume(std::string_view(block.get(), static_cast<size_t>(n)));
        done += static_cast<uint64_t>(n);
        if (progress) {
            progress(done);
        }
    }
    return done;
}

} // namespace corvane::evidence
