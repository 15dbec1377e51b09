#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace corvane::util {

/// Reads `fd` from its current position until its end or `limit` bytes on a thread of its
/// own, a few blocks ahead of `consume`, which runs on the calling thread: reading (the copy
/// out of the page cache) and the consumer's work overlap on two cores. Holds at most
/// `kReadAheadBytes`. The bytes read, or nothing when a read fails.
std::optional<uint64_t> readAhead(int fd, uint64_t limit,
                                  const std::function<void(std::string_view)>& consume,
                                  const std::function<void(uint64_t)>& progress);

inline constexpr size_t kReadAheadBytes = 3 * 256 * 1024;

} // namespace corvane::util
