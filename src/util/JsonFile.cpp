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

std::optional<std::string> stringAt(const nlohmann::json& object, std::string_view key) {
    if (!object.is_object()) {
        return std::nullopt;
    }
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) {
        return std::nullopt;
    }
    return it->get<std::string>();
}

std::optional<std::vector<std::string>> stringArrayAt(const nlohmann::json& object,
                                                      std::string_view key) {
    if (!object.is_object()) {
        return std::nullopt;
    }
    const auto it = object.find(key);
    if (it == object.end() || !it->is_array()) {
        return std::nullopt;
    }
    std::vector<std::string> out;
    for (const auto& element : *it) {
        if (!element.is_string()) {
            return std::nullopt;
        }
        out.push_back(element.get<std::string>());
    }
    return out;
}

std::string dumpJson(const nlohmann::json& value, int indent) {
    return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace corvane::util
