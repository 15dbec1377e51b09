#pragma once

#include <string>
#include <string_view>

namespace corvane::util {

/// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

/// Decodes `bytes` as UTF-8, replacing each maximal ill-formed subsequence with U+FFFD
/// (the Unicode recommended practice). Well-formed input comes back unchanged.
std::string replaceInvalidUtf8(std::string_view bytes);

/// Appends the replacement-decoded form of `bytes` to `out` without an intermediate string.
void appendReplacingInvalidUtf8(std::string& out, std::string_view bytes);

} // namespace corvane::util
