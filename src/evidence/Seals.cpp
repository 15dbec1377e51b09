#include "evidence/Seals.h"

#include "evidence/Sha256.h"
#include "util/Files.h"
#include "util/Utf8.h"

#include <cstdint>

namespace corvane::evidence {

std::optional<std::string> lastSealLine(const std::filesystem::path& vaultFolder,
                                        std::string_view name) {
    const auto text = util::readFile(vaultFolder / name);
    if (!text || !util::isValidUtf8(*text)) {
        return std::nullopt;
    }
    std::string_view rest(*text);
    while (!rest.empty() && rest.back() == '\n') {
        rest.remove_suffix(1);
    }
    if (rest.empty()) {
        return std::nullopt;
    }
    const size_t lineFeed = rest.rfind('\n');
    return std::string(lineFeed == std::string_view::npos ? rest : rest.substr(lineFeed + 1));
}

std::optional<std::string> logDigest(const std::filesystem::path& path,
                                     const std::function<void(uint64_t)>& progress) {
    Sha256 hash;
    if (!util::readBlocks(
            path, UINT64_MAX, [&](std::string_view block) { hash.update(block); }, progress)) {
        return std::nullopt;
    }
    return hash.hexDigest();
}

} // namespace corvane::evidence
