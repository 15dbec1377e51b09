#include "util/Utf8.h"

#include <cstdint>
#include <cstring>

namespace corvane::util {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

/// Length of the well-formed sequence starting at `p`, or the length of the maximal
/// ill-formed prefix (at least 1) as a negative number.
int sequenceLength(const unsigned char* p, const unsigned char* end) {
    const unsigned char b0 = p[0];
    if (b0 < 0x80) {
        return 1;
    }
    int need = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        if (b0 == 0xE0) {
            lo = 0xA0;
        } else if (b0 == 0xED) {
            hi = 0x9F;
        }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        if (b0 == 0xF0) {
            lo = 0x90;
        } else if (b0 == 0xF4) {
            hi = 0x8F;
        }
    } else {
        return -1;
    }
    int taken = 1;
    for (int i = 0; i < need; ++i) {
        if (p + taken >= end) {
            return -taken;
        }
        const unsigned char b = p[taken];
        const unsigned char l = i == 0 ? lo : 0x80;
        const unsigned char h = i == 0 ? hi : 0xBF;
        if (b < l || b > h) {
            return -taken;
        }
        ++taken;
    }
    return taken;
}

/// Index of the first byte that is not plain ASCII (fast path for the common case).
size_t asciiPrefix(std::string_view s) {
    size_t i = 0;
    const size_t n = s.size();
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, s.data() + i, 8);
        if (word & 0x8080808080808080ULL) {
            break;
        }
    }
    while (i < n && static_cast<unsigned char>(s[i]) < 0x80) {
        ++i;
    }
    return i;
}

} // namespace

bool isValidUtf8(std::string_view bytes) {
    const auto* base = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = base + bytes.size();
    size_t i = 0;
    while ((i += asciiPrefix(bytes.substr(i))) < bytes.size()) {
        const int len = sequenceLength(base + i, end);
        if (len < 0) {
            return false;
        }
        i += static_cast<size_t>(len);
    }
    return true;
}

void appendReplacingInvalidUtf8(std::string& out, std::string_view bytes) {
    const auto* base = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = base + bytes.size();
    size_t i = 0;
    while (i < bytes.size()) {
        const size_t ascii = asciiPrefix(bytes.substr(i));
        out.append(bytes.substr(i, ascii));
        i += ascii;
        if (i == bytes.size()) {
            break;
        }
        const int len = sequenceLength(base + i, end);
        if (len > 0) {
            out.append(bytes.substr(i, static_cast<size_t>(len)));
            i += static_cast<size_t>(len);
        } else {
            out.append(kReplacement);
            i += static_cast<size_t>(-len);
        }
    }
}

std::string replaceInvalidUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    appendReplacingInvalidUtf8(out, bytes);
    return out;
}

} // namespace corvane::util
