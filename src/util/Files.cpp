#include "util/Files.h"

#include "util/ReadAhead.h"

#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <random>
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

namespace {

/// A descriptor of `folder` ("." for an empty path), or -1 with errno set.
int openFolder(const fs::path& folder, FolderLink folderLink) {
    const int noFollow = folderLink == FolderLink::Refuse ? O_NOFOLLOW : 0;
    return ::open(folder.empty() ? "." : folder.c_str(),
                  O_RDONLY | O_DIRECTORY | O_CLOEXEC | noFollow);
}

/// Creates a new file in the folder of `dir` named "." + `name` + "." + six random
/// characters + the temporary suffix. Its descriptor, or -1 with errno set.
int createTemporary(int dir, const std::string& name, std::string& temporary) {
    static constexpr std::string_view kChars =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937_64 random(std::random_device{}());
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = "." + name + ".";
        for (int i = 0; i < 6; ++i) {
            temporary += kChars[random() % kChars.size()];
        }
        temporary += kTemporarySuffix;
        const int fd = ::openat(dir, temporary.c_str(),
                                O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

} // namespace

bool replaceFileAtomic(const fs::path& path,
                       const std::function<bool(int fd, const fs::path& temporary)>& fill,
                       FolderLink folderLink) {
    // A hidden sibling, so the rename stays within one file system.
    const Fd dir(openFolder(path.parent_path(), folderLink));
    if (dir.fd < 0) {
        return false;
    }
    const std::string name = path.filename().string();
    std::string temporary;
    bool filled = false;
    {
        Fd out(createTemporary(dir.fd, name, temporary));
        if (out.fd < 0) {
            return false;
        }
        // The umask must not narrow the files we replace: ordinary user files.
        ::fchmod(out.fd, 0644);
        filled = fill(out.fd, path.parent_path() / temporary);
    }
    // Synced through a fresh descriptor: `fill` may have replaced the file by its path.
    Fd written(filled ? ::openat(dir.fd, temporary.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)
                      : -1);
    if (written.fd < 0 || ::fsync(written.fd) != 0 ||
        ::renameat(dir.fd, temporary.c_str(), dir.fd, name.c_str()) != 0) {
        const int err = errno;
        ::unlinkat(dir.fd, temporary.c_str(), 0);
        errno = err;
        return false;
    }
    return true;
}

bool writeFileAtomic(const fs::path& path, std::string_view content, FolderLink folderLink) {
    return replaceFileAtomic(
        path, [content](int fd, const fs::path&) { return writeAll(fd, content); }, folderLink);
}

bool isTemporaryName(std::string_view name) {
    // "." + at least one character + "." + six + the suffix.
    return name.size() >= 9 + kTemporarySuffix.size() && name.front() == '.' &&
           name.ends_with(kTemporarySuffix);
}

void sweepTemporaryFiles(const fs::path& folder, int64_t maxAgeSeconds, FolderLink folderLink) {
    const int fd = openFolder(folder, folderLink);
    DIR* entries = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (entries == nullptr) {
        if (fd >= 0) {
            ::close(fd);
        }
        return;
    }
    const time_t cutoff = ::time(nullptr) - static_cast<time_t>(maxAgeSeconds);
    while (const dirent* entry = ::readdir(entries)) {
        struct stat st {};
        if (isTemporaryName(entry->d_name) &&
            ::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_mtime < cutoff) {
            ::unlinkat(fd, entry->d_name, 0);
        }
    }
    ::closedir(entries);
}

void createFolders(const fs::path& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
}

} // namespace corvane::util
