#include "util/JsonFile.h"

#include "util/Files.h"

namespace corvane::util {

bool nestsWithin(std::string_view text, int maxDepth) {
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i; // the escaped character cannot end the string
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maxDepth) {
                return false;
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

std::optional<nlohmann::json> parseJson(std::string_view text) {
    if (!nestsWithin(text)) {
        return std::nullopt;
    }
    auto value = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) {
        return std::nullopt;
    }
    return value;
}

std::optional<nlohmann::json> readJson(const std::filesystem::path& path, uint64_t maxBytes) {
    const auto text = readFile(path, maxBytes);
    if (!text) {
        return std::nullopt;
    }
    return parseJson(*text);
}

std::optional<nlohmann::json> readJsonObject(const std::filesystem::path& path, uint64_t maxBytes) {
    auto value = readJson(path, maxBytes);
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
