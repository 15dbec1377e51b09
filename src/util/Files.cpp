#include "util/Files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <system_error>

namespace corvane::util {
namespace fs = std::filesystem;

namespace {

/// Closes a descriptor on scope exit.
struct Fd {
    int fd = -1;
    explicit Fd(int d) : fd(d) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

} // namespace

std::optional<uint64_t> readBlocks(const fs::path& path, uint64_t limit,
                                   const std::function<void(std::string_view)>& consume,
                                   const std::function<void(uint64_t)>& progress) {
    Fd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (in.fd < 0 || ::fstat(in.fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        return std::nullopt;
    }
    // Large enough to amortise the system calls, small enough to stay in the CPU's caches
    // while the consumer works on it.
    constexpr size_t kBlock = 256 * 1024;
    const auto block = std::make_unique<char[]>(kBlock);
    uint64_t done = 0;
    while (done < limit) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kBlock, limit - done));
        const ssize_t n = ::read(in.fd, block.get(), want);
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

std::optional<std::string> readFileHead(const fs::path& path, size_t maxBytes) {
    std::string out;
    if (!readBlocks(path, maxBytes, [&](std::string_view block) { out.append(block); })) {
        return std::nullopt;
    }
    return out;
}

std::optional<std::string> readFile(const fs::path& path) {
    return readFileHead(path, SIZE_MAX);
}

std::optional<uint64_t> fileSize(const fs::path& path) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    if (ec) {
        return std::nullopt;
    }
    return size;
}

bool writeFileAtomic(const fs::path& path, std::string_view content) {
    std::string tmpl = path.parent_path().string();
    if (!tmpl.empty()) {
        tmpl += '/';
    }
    tmpl += '.';
    tmpl += path.filename().string();
    tmpl += ".XXXXXX";
    Fd out(::mkstemp(tmpl.data()));
    if (out.fd < 0) {
        return false;
    }
    // mkstemp creates 0600; the files we replace are ordinary user files.
    ::fchmod(out.fd, 0644);
    const bool written = writeAll(out.fd, content) && ::fsync(out.fd) == 0;
    if (!written || ::rename(tmpl.c_str(), path.c_str()) != 0) {
        ::unlink(tmpl.c_str());
        return false;
    }
    return true;
}

void createFolders(const fs::path& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
}

} // namespace corvane::util
