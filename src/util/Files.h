#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::util {

/// A descriptor open for reading on `path` when it names a regular file, else -1. The open
/// never blocks: a FIFO, a device or a folder in a file's place is refused, not read.
int openRegularFile(const std::filesystem::path& path);

/// Reads from `fd` into `into` until `size` bytes or the end of the file: the number of bytes
/// read, or nothing on a read error.
std::optional<size_t> readUpTo(int fd, char* into, size_t size);

/// The whole content of a regular file, or nothing when it cannot be read or holds more than
/// `maxBytes`.
std::optional<std::string> readFile(const std::filesystem::path& path,
                                    uint64_t maxBytes = UINT64_MAX);

/// Reads a file from its start in blocks, handing each block to `consume` and the bytes read
/// so far to `progress`, until its end or until `limit` bytes were read. Memory stays constant
/// whatever the file's size. The number of bytes read, or nothing when the file cannot be
/// opened (or is not a regular file) or a read fails.
std::optional<uint64_t> readBlocks(const std::filesystem::path& path, uint64_t limit,
                                   const std::function<void(std::string_view)>& consume,
                                   const std::function<void(uint64_t)>& progress = {});

/// Size in bytes, or nothing when the attributes cannot be read.
std::optional<uint64_t> fileSize(const std::filesystem::path& path);

/// What a write or a sweep does when its folder is a symbolic link. The folders the program
/// makes inside the data folder (sift/, reports/) are refused as links, so that nothing is
/// written or removed outside it; the data folder itself and a destination the user chose
/// may be links.
enum class FolderLink { Refuse, Follow };

/// Replaces `path` with `content` atomically: the bytes go to a temporary file in the same
/// folder, are flushed to disk, and the temporary file is renamed over `path`. A reader or a
/// crash never sees half a file; on failure the previous file is kept, false is returned and
/// errno tells why (ELOOP for a refused link).
bool writeFileAtomic(const std::filesystem::path& path, std::string_view content,
                     FolderLink folderLink = FolderLink::Refuse);

/// Replaces `path` atomically with what `fill` writes to a temporary file beside it (mode
/// 0644). `fill` gets the open descriptor and the temporary file's path, and may write through
/// either; the file is flushed to disk and renamed over `path` only when `fill` succeeds. On
/// failure the previous file is kept, the temporary file removed, and false returned (errno
/// tells why, when the failure was the system's rather than `fill`'s). The temporary file is
/// made, synced and renamed through one descriptor of the folder.
bool replaceFileAtomic(
    const std::filesystem::path& path,
    const std::function<bool(int fd, const std::filesystem::path& temporary)>& fill,
    FolderLink folderLink = FolderLink::Refuse);

/// Whether a file name is that of a temporary file of replaceFileAtomic: "." + the final
/// name + "." + six random characters + ".cvtmp". No reader takes such a file for data.
bool isTemporaryName(std::string_view name);

/// A temporary file older than this was left behind by a writer that was killed.
inline constexpr int64_t kStaleTemporarySeconds = 60;

/// Removes the temporary files of `folder` (not of its sub-folders) last written more than
/// `maxAgeSeconds` ago: ones a killed writer left behind. Links are neither followed nor
/// removed.
void sweepTemporaryFiles(const std::filesystem::path& folder, int64_t maxAgeSeconds,
                         FolderLink folderLink = FolderLink::Refuse);

/// Creates a folder and its missing parents; failures are ignored (the next write reports them).
void createFolders(const std::filesystem::path& path);

} // namespace corvane::util
