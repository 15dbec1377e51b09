#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

struct pcre2_real_code_8;

namespace corvane::util {

/// One match: the spans of the whole match and its capture groups, as views into the subject.
class Match {
  public:
    static constexpr int kMaxGroups = 15;

    /// Capture group `n` (0 = the whole match), or nothing when the pattern has no such
    /// group or the group did not take part in the match.
    std::optional<std::string_view> group(int n) const;
    size_t begin() const { return spans_[0].first; }
    size_t end() const { return spans_[0].second; }

  private:
    friend class Regex;
    std::string_view subject_;
    int count_ = 0; // groups set, including group 0
    std::array<std::pair<size_t, size_t>, kMaxGroups + 1> spans_{};
};

/// A compiled PCRE2 pattern: UTF and Unicode properties on (so \d, \s, \w and \b are
/// Unicode-aware), JIT-compiled when the platform allows. A pattern that fails to compile
/// is replaced by "(?!)", which never matches. Immutable after construction and safe to
/// share between threads; match data is kept per thread and reused.
class Regex {
  public:
    explicit Regex(std::string_view pattern);
    ~Regex();
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;

    /// Leftmost match at or after `start`. `subjectIsValidUtf8` skips PCRE2's own UTF-8
    /// check: pass true only for text known to be well-formed. Invalid UTF-8 never matches.
    std::optional<Match> search(std::string_view subject, size_t start = 0,
                                bool subjectIsValidUtf8 = false) const;

    /// Calls `visit(const Match&)` for every non-overlapping match, left to right.
    template <typename Visit>
    void forEach(std::string_view subject, Visit&& visit, bool subjectIsValidUtf8 = false) const {
        size_t at = 0;
        while (at <= subject.size()) {
            const auto m = search(subject, at, subjectIsValidUtf8);
            if (!m) {
                break;
            }
            visit(*m);
            at = m->end() > m->begin() ? m->end() : m->end() + 1;
        }
    }

    /// Whether the given pattern compiled (false means the never-matching fallback is used).
    bool compiled() const { return compiled_; }

  private:
    pcre2_real_code_8* code_ = nullptr;
    bool compiled_ = false;
};

} // namespace corvane::util
