#include "evidence/Verify.h"

#include "capture/DataFolder.h"
#include "evidence/Sha256.h"
#include "util/Files.h"
#include "vault/Vault.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <string_view>
#include <vector>

namespace corvane::evidence {
namespace fs = std::filesystem;

namespace {

struct Seal {
    std::string_view line;
    std::string_view time;
    uint64_t bytes = 0;
    std::string_view hash;
    bool wellFormed = false;
};

/// Lines of a file written one line feed at a time; the final line feed ends the last line
/// rather than starting an empty one.
std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    if (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    } else if (text.empty()) {
        return lines;
    }
    size_t start = 0;
    while (true) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    return lines;
}

bool isUtcTime(std::string_view t) {
    // 2026-10-18T20:10:40Z
    if (t.size() != 20) {
        return false;
    }
    for (size_t i = 0; i < t.size(); ++i) {
        const char c = t[i];
        const bool ok = i == 4 || i == 7     ? c == '-'
                        : i == 10            ? c == 'T'
                        : i == 13 || i == 16 ? c == ':'
                        : i == 19            ? c == 'Z'
                                             : c >= '0' && c <= '9';
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool isHex64(std::string_view h) {
    return h.size() == 64 && std::all_of(h.begin(), h.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

/// `<time> <key>=<value>…`: the value following `key=` in the field at `index`.
std::optional<std::string_view> field(std::string_view line, size_t index, std::string_view key) {
    for (size_t i = 0; i < index; ++i) {
        const size_t space = line.find(' ');
        if (space == std::string_view::npos) {
            return std::nullopt;
        }
        line.remove_prefix(space + 1);
    }
    line = line.substr(0, line.find(' '));
    if (line.substr(0, key.size()) != key || line.size() <= key.size() || line[key.size()] != '=') {
        return std::nullopt;
    }
    return line.substr(key.size() + 1);
}

size_t fieldCount(std::string_view line) {
    return static_cast<size_t>(std::count(line.begin(), line.end(), ' ')) + 1;
}

Seal parseSeal(std::string_view line) {
    Seal seal;
    seal.line = line;
    seal.time = line.substr(0, line.find(' '));
    const auto bytes = field(line, 1, "bytes");
    const auto hash = field(line, 2, "sha256");
    if (fieldCount(line) != 3 || !isUtcTime(seal.time) || !bytes || !hash || !isHex64(*hash) ||
        bytes->empty() || bytes->size() > 19) {
        return seal;
    }
    const auto [end, ec] =
        std::from_chars(bytes->data(), bytes->data() + bytes->size(), seal.bytes);
    seal.wellFormed = ec == std::errc() && end == bytes->data() + bytes->size();
    seal.hash = *hash;
    return seal;
}

std::optional<std::string_view> parseChain(std::string_view line) {
    const auto chain = field(line, 1, "chain");
    if (fieldCount(line) != 2 || !isUtcTime(line.substr(0, line.find(' '))) || !chain ||
        !isHex64(*chain)) {
        return std::nullopt;
    }
    return chain;
}

VerifyOutcome failure(size_t seals, std::string why) {
    VerifyOutcome out;
    out.seals = seals;
    out.message = "FAIL: " + std::move(why);
    return out;
}

/// The SHA-256 of the log's first `bytes` bytes for every seal, in one pass: the seals are
/// visited by length and the running hash is finalised on a copy at each length. A seal
/// beyond the end of the log gets no digest. Nothing when the log cannot be read.
std::optional<std::vector<std::optional<std::string>>>
prefixDigests(const fs::path& log, const std::vector<Seal>& seals, uint64_t& logBytes,
              const VerifyProgress& progress) {
    std::vector<size_t> order;
    for (size_t i = 0; i < seals.size(); ++i) {
        if (seals[i].wellFormed) {
            order.push_back(i);
        }
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return seals[a].bytes < seals[b].bytes; });
    const uint64_t total = order.empty() ? 0 : seals[order.back()].bytes;

    std::vector<std::optional<std::string>> digests(seals.size());
    Sha256 hash;
    uint64_t position = 0;
    size_t next = 0;
    const auto settle = [&] {
        std::string digest;
        while (next < order.size() && seals[order[next]].bytes == position) {
            if (digest.empty()) {
                digest = hash.hexDigest();
            }
            digests[order[next++]] = digest;
        }
    };
    settle();
    const auto read = util::readBlocks(
        log, total,
        [&](std::string_view block) {
            while (!block.empty()) {
                const uint64_t until = next < order.size() ? seals[order[next]].bytes : UINT64_MAX;
                const size_t take =
                    static_cast<size_t>(std::min<uint64_t>(block.size(), until - position));
                hash.update(block.substr(0, take));
                position += take;
                block.remove_prefix(take);
                settle();
            }
        },
        [&](uint64_t done) {
            if (progress) {
                progress(done, total);
            }
        });
    if (!read) {
        return std::nullopt;
    }
    logBytes = position;
    return digests;
}

} // namespace

VerifyOutcome verifySeals(const fs::path& log, const fs::path& vaultFolder,
                          const VerifyProgress& progress) {
    const fs::path sealPath = vaultFolder / VaultLayout::kSealFile;
    const fs::path masterPath = vaultFolder / VaultLayout::kMasterFile;
    const auto sealText = util::readFile(sealPath);
    if (!sealText) {
        return failure(0, "cannot read " + sealPath.string());
    }
    const auto masterText = util::readFile(masterPath);
    if (!masterText) {
        return failure(0, "cannot read " + masterPath.string());
    }
    const auto sealLines = splitLines(*sealText);
    const auto masterLines = splitLines(*masterText);
    if (sealLines.empty()) {
        return failure(0, "no seals in " + sealPath.string());
    }

    std::vector<Seal> seals;
    seals.reserve(sealLines.size());
    for (const auto line : sealLines) {
        seals.push_back(parseSeal(line));
    }
    uint64_t logBytes = 0;
    const auto digests = prefixDigests(log, seals, logBytes, progress);
    if (!digests) {
        return failure(seals.size(), "cannot read the log " + log.string());
    }

    const size_t n = seals.size();
    for (size_t i = 0; i < n; ++i) {
        const Seal& seal = seals[i];
        const std::string name = "seal " + std::to_string(i + 1) + " of " + std::to_string(n);
        if (!seal.wellFormed) {
            return failure(n, name + ": line " + std::to_string(i + 1) + " of " +
                                  sealPath.filename().string() + " is not a seal line");
        }
        const std::string named = name + " (" + std::string(seal.time) + ")";
        if (!(*digests)[i]) {
            return failure(n, named + ": it covers " + std::to_string(seal.bytes) +
                                  " bytes, but the log holds only " + std::to_string(logBytes));
        }
        if (*(*digests)[i] != seal.hash) {
            return failure(n, named + ": the log's first " + std::to_string(seal.bytes) +
                                  " bytes hash to " + *(*digests)[i] + ", the seal says " +
                                  std::string(seal.hash));
        }
        if (i >= masterLines.size()) {
            return failure(n,
                           named + ": master seal line " + std::to_string(i + 1) + " is missing");
        }
        const auto chain = parseChain(masterLines[i]);
        const std::string previous = i == 0 ? std::string() : std::string(masterLines[i - 1]);
        if (!chain || *chain != sha256Hex(previous + "\n" + std::string(seal.line))) {
            return failure(n, named + ": master seal line " + std::to_string(i + 1) +
                                  " does not chain the previous master line to this seal");
        }
    }
    if (masterLines.size() > n) {
        return failure(n,
                       "master seal line " + std::to_string(n + 1) + " has no seal line to chain");
    }
    VerifyOutcome out;
    out.ok = true;
    out.seals = n;
    out.lastSealTime = std::string(seals.back().time);
    out.message = "OK: " + std::to_string(n) + " seals verified, last at " + out.lastSealTime;
    return out;
}

} // namespace corvane::evidence
