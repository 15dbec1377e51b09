#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::logstandin {

/// The two event fields a stream predicate may test.
struct Event {
    std::string_view process;
    std::string_view eventMessage;
};

/// A stream filter in the small grammar the log tool's callers use:
///   expr    := and ("OR" and)*
///   and     := primary ("AND" primary)*
///   primary := "(" expr ")" | field op string
///   field   := "process" | "eventMessage"
///   op      := "==" | "CONTAINS"
/// Keywords are case-insensitive; strings are double-quoted with backslash escapes.
/// Comparisons are case-sensitive.
class Predicate {
  public:
    struct Parsed;

    /// The predicate, or the reason the text is not one.
    static Parsed parse(std::string_view text);

    bool matches(const Event& event) const;

  private:
    enum class Kind : uint8_t { Or, And, Equals, Contains };
    enum class Field : uint8_t { Process, EventMessage };
    struct Node {
        Kind kind;
        Field field = Field::Process;
        std::string text;               // the operand of a comparison
        std::vector<uint32_t> children; // indexes into nodes_ for Or / And
    };
    class Parser;

    bool evaluate(uint32_t index, const Event& event) const;

    std::vector<Node> nodes_;
    uint32_t root_ = 0;
};

struct Predicate::Parsed {
    std::optional<Predicate> predicate;
    std::string error; // set when predicate is empty
};

} // namespace corvane::logstandin
