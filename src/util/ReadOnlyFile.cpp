#include "util/ReadOnlyFile.h"

#include "util/Files.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::util {
namespace fs = std::filesystem;

ReadOnlyFile::ReadOnlyFile(const fs::path& path) : fd_(openRegularFile(path)) {}

ReadOnlyFile::~ReadOnlyFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

uint64_t ReadOnlyFile::size() const {
    struct stat st {};
    return fd_ >= 0 && ::fstat(fd_, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

std::string ReadOnlyFile::bytesAt(uint64_t offset, size_t count) const {
    std::string out(count, '\0');
    size_t got = 0;
    while (fd_ >= 0 && got < count) {
        const ssize_t n =
            ::pread(fd_, out.data() + got, count - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    out.resize(got);
    return out;
}

bool ReadOnlyFile::seek(uint64_t offset) {
    return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(-1);
}

ssize_t ReadOnlyFile::read(char* into, size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd_, into, size);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

} // namespace corvane::util
