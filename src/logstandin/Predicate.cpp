#include "logstandin/Predicate.h"

#include <cctype>
#include <utility>

namespace corvane::logstandin {

/// Recursive descent over the text; each rule appends its node and returns its index.
class Predicate::Parser {
  public:
    Parser(std::string_view text, std::vector<Node>& nodes) : text_(text), nodes_(nodes) {}

    std::optional<uint32_t> parseAll() {
        auto root = parseList(Kind::Or);
        skipBlanks();
        if (root && pos_ < text_.size()) {
            return fail("unexpected text at offset " + std::to_string(pos_));
        }
        return root;
    }

    std::string error;

  private:
    std::nullopt_t fail(std::string message) {
        if (error.empty()) {
            error = std::move(message);
        }
        return std::nullopt;
    }

    /// An OR list of AND lists, or an AND list of primaries; a single item stands alone.
    std::optional<uint32_t> parseList(Kind kind) {
        const char* keyword = kind == Kind::Or ? "OR" : "AND";
        std::vector<uint32_t> items;
        do {
            auto item = kind == Kind::Or ? parseList(Kind::And) : parsePrimary();
            if (!item) {
                return std::nullopt;
            }
            items.push_back(*item);
        } while (acceptKeyword(keyword));
        if (items.size() == 1) {
            return items.front();
        }
        nodes_.push_back(Node{kind, Field::Process, {}, std::move(items)});
        return static_cast<uint32_t>(nodes_.size() - 1);
    }

    std::optional<uint32_t> parsePrimary() {
        skipBlanks();
        if (accept("(")) {
            // The text comes from the command line; bound the recursion it can cause.
            if (++depth_ > kMaxDepth) {
                return fail("parentheses nested too deeply");
            }
            auto inner = parseList(Kind::Or);
            --depth_;
            if (inner && !accept(")")) {
                return fail("missing ) at offset " + std::to_string(pos_));
            }
            return inner;
        }
        return parseComparison();
    }

    std::optional<uint32_t> parseComparison() {
        const std::string_view word = takeWord();
        Field field;
        if (word == "process") {
            field = Field::Process;
        } else if (word == "eventMessage") {
            field = Field::EventMessage;
        } else {
            return fail("unknown field '" + std::string(word) + "' at offset " +
                        std::to_string(pos_ - word.size()));
        }
        Kind kind;
        if (accept("==")) {
            kind = Kind::Equals;
        } else if (acceptKeyword("CONTAINS")) {
            kind = Kind::Contains;
        } else {
            return fail("expected == or CONTAINS at offset " + std::to_string(pos_));
        }
        auto operand = parseString();
        if (!operand) {
            return std::nullopt;
        }
        nodes_.push_back(Node{kind, field, std::move(*operand), {}});
        return static_cast<uint32_t>(nodes_.size() - 1);
    }

    std::optional<std::string> parseString() {
        skipBlanks();
        if (pos_ >= text_.size() || text_[pos_] != '"') {
            return fail("expected a double-quoted string at offset " + std::to_string(pos_));
        }
        std::string out;
        for (++pos_; pos_ < text_.size(); ++pos_) {
            char c = text_[pos_];
            if (c == '"') {
                ++pos_;
                return out;
            }
            if (c == '\\' && pos_ + 1 < text_.size()) {
                c = text_[++pos_];
            }
            out.push_back(c);
        }
        return fail("unterminated string");
    }

    void skipBlanks() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) {
            ++pos_;
        }
    }

    bool accept(std::string_view token) {
        skipBlanks();
        if (text_.substr(pos_, token.size()) != token) {
            return false;
        }
        pos_ += token.size();
        return true;
    }

    static bool isWordChar(char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    }

    /// A keyword matches case-insensitively and only as a whole word.
    bool acceptKeyword(std::string_view keyword) {
        skipBlanks();
        const size_t end = pos_ + keyword.size();
        if (end > text_.size() || (end < text_.size() && isWordChar(text_[end]))) {
            return false;
        }
        for (size_t i = 0; i < keyword.size(); ++i) {
            if (std::toupper(static_cast<unsigned char>(text_[pos_ + i])) != keyword[i]) {
                return false;
            }
        }
        pos_ = end;
        return true;
    }

    std::string_view takeWord() {
        skipBlanks();
        const size_t start = pos_;
        while (pos_ < text_.size() && isWordChar(text_[pos_])) {
            ++pos_;
        }
        return text_.substr(start, pos_ - start);
    }

    std::string_view text_;
    static constexpr int kMaxDepth = 64;

    std::vector<Node>& nodes_;
    size_t pos_ = 0;
    int depth_ = 0;
};

Predicate::Parsed Predicate::parse(std::string_view text) {
    Predicate predicate;
    Parser parser(text, predicate.nodes_);
    const auto root = parser.parseAll();
    if (!root) {
        return {std::nullopt, parser.error};
    }
    predicate.root_ = *root;
    return {std::move(predicate), {}};
}

bool Predicate::matches(const Event& event) const {
    return evaluate(root_, event);
}

bool Predicate::evaluate(uint32_t index, const Event& event) const {
    const Node& node = nodes_[index];
    switch (node.kind) {
    case Kind::Or:
        for (const uint32_t child : node.children) {
            if (evaluate(child, event)) {
                return true;
            }
        }
        return false;
    case Kind::And:
        for (const uint32_t child : node.children) {
            if (!evaluate(child, event)) {
                return false;
            }
        }
        return true;
    case Kind::Equals:
    case Kind::Contains:
        break;
    }
    const std::string_view value =
        node.field == Field::Process ? event.process : event.eventMessage;
    return node.kind == Kind::Equals ? value == node.text
                                     : value.find(node.text) != std::string_view::npos;
}

} // namespace corvane::logstandin
