#include "util/JsonFile.h"

#include "util/Files.h"

namespace corvane::util {

std::optional<nlohmann::json> readJson(const std::filesystem::path& path) {
    const auto text = readFile(path);
    if (!text) {
        return std::nullopt;
    }
    auto value = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) {
        return std::nullopt;
    }
    return value;
}

std::optional<nlohmann::json> readJsonObject(const std::filesystem::path& path) {
    auto value = readJson(path);
    if (!value || !value->is_object()) {
        return std::nullopt;
    }
    return value;
}

std::string dumpJson(const nlohmann::json& value, int indent) {
    return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace corvane::util
