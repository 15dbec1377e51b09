#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/types.h>

namespace corvane::util {

/// A regular file open for reading (see `openRegularFile`); closed with the object.
class ReadOnlyFile {
  public:
    explicit ReadOnlyFile(const std::filesystem::path& path);
    ~ReadOnlyFile();
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    /// Size in bytes; 0 when the file is not open or its attributes cannot be read.
    uint64_t size() const;
    /// At most `count` bytes from `offset` (fewer at the end of the file); empty when they
    /// cannot be read. The position of `read` stays where it was.
    std::string bytesAt(uint64_t offset, size_t count) const;
    bool seek(uint64_t offset);
    /// Bytes read into `into` from the position: 0 at the end of the file, negative on failure.
    ssize_t read(char* into, size_t size);

  private:
    int fd_;
};

} // namespace corvane::util
