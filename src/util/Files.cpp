#include "util/Files.h"

#include "util/ReadAhead.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace corvane::util {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kTemporarySuffix = ".cvtmp";

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

std::optional<size_t> readUpTo(int fd, char* into, size_t size) {
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, into + got, size - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    return got;
}

int openRegularFile(const fs::path& path) {
    // O_NONBLOCK: opening a FIFO without a writer would otherwise wait for one.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat st {};
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::optional<uint64_t> readBlocks(const fs::path& path, uint64_t limit,
                                   const std::function<void(std::string_view)>& consume,
                                   const std::function<void(uint64_t)>& progress) {
    Fd in(openRegularFile(path));
    if (in.fd < 0) {
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(in.fd, &st) == 0 &&
        std::min<uint64_t>(static_cast<uint64_t>(st.st_size), limit) > 2 * kReadAheadBytes) {
        ::posix_fadvise(in.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        return readAhead(in.fd, limit, consume, progress);
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

std::optional<std::string> readFile(const fs::path& path, uint64_t maxBytes) {
    // Straight into the text, on this thread: there is nothing to overlap the reading with.
    Fd in(openRegularFile(path));
    struct stat st {};
    if (in.fd < 0 || ::fstat(in.fd, &st) != 0 || static_cast<uint64_t>(st.st_size) > maxBytes) {
        return std::nullopt;
    }
    // One byte beyond the size tells a file that grew while read.
    std::string out(static_cast<size_t>(st.st_size) + 1, '\0');
    size_t got = 0;
    for (;;) {
        if (got == out.size()) {
            if (got > maxBytes) {
                return std::nullopt;
            }
            out.resize(2 * out.size());
        }
        const auto n = readUpTo(in.fd, out.data() + got, out.size() - got);
        if (!n) {
            return std::nullopt;
        }
        got += *n;
        if (got < out.size()) {
            break; // the end of the file
        }
    }
    if (got > maxBytes) {
        return std::nullopt;
    }
    out.resize(got);
    return out;
}

std::optional<uint64_t> fileSize(const fs::path& path) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    if (ec) {
        return std::nullopt;
    }
    return size;
}

bool replaceFileAtomic(const fs::path& path,
                       const std::function<bool(int fd, const fs::path& temporary)>& fill) {
    // A hidden sibling, so the rename stays within one file system. Built piece by piece:
    // GCC 12 at -O3 reports a false -Wrestrict on the concatenated form.
    std::string temporary = path.parent_path().string();
    if (!temporary.empty()) {
        temporary += '/';
    }
    temporary += '.';
    temporary += path.filename().string();
    temporary += ".XXXXXX";
    temporary += kTemporarySuffix;
    bool filled = false;
    {
        Fd out(::mkstemps(temporary.data(), static_cast<int>(kTemporarySuffix.size())));
        if (out.fd < 0) {
            return false;
        }
        // mkstemp creates 0600; the files we replace are ordinary user files.
        ::fchmod(out.fd, 0644);
        filled = fill(out.fd, temporary);
    }
    // Synced through a fresh descriptor: `fill` may have replaced the file by its path.
    Fd written(filled ? ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC) : -1);
    if (written.fd < 0 || ::fsync(written.fd) != 0 ||
        ::rename(temporary.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temporary.c_str());
        errno = err;
        return false;
    }
    return true;
}

bool writeFileAtomic(const fs::path& path, std::string_view content) {
    return replaceFileAtomic(path,
                             [content](int fd, const fs::path&) { return writeAll(fd, content); });
}

bool isTemporaryName(std::string_view name) {
    // "." + at least one character + "." + six + the suffix.
    return name.size() >= 9 + kTemporarySuffix.size() && name.front() == '.' &&
           name.ends_with(kTemporarySuffix);
}

void sweepTemporaryFiles(const fs::path& folder, int64_t maxAgeSeconds) {
    std::error_code ec;
    const auto cutoff = fs::file_time_type::clock::now() - std::chrono::seconds(maxAgeSeconds);
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code fileEc;
        if (isTemporaryName(it->path().filename().string()) &&
            it->symlink_status(fileEc).type() == fs::file_type::regular &&
            it->last_write_time(fileEc) < cutoff && !fileEc) {
            fs::remove(it->path(), fileEc);
        }
    }
}

void createFolders(const fs::path& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
}

} // namespace corvane::util
