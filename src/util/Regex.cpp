#include "util/Regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <memory>
#include <pcre2.h>

namespace corvane::util {
namespace {

pcre2_code* compile(std::string_view pattern) {
    int error = 0;
    PCRE2_SIZE errorOffset = 0;
    return pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                         PCRE2_UTF | PCRE2_UCP, &error, &errorOffset, nullptr);
}

/// Match data for the calling thread, large enough for every pattern we use.
pcre2_match_data* threadMatchData() {
    struct Deleter {
        void operator()(pcre2_match_data* d) const { pcre2_match_data_free(d); }
    };
    thread_local std::unique_ptr<pcre2_match_data, Deleter> data(
        pcre2_match_data_create(Match::kMaxGroups + 1, nullptr));
    return data.get();
}

} // namespace

std::optional<std::string_view> Match::group(int n) const {
    if (n < 0 || n >= count_ || spans_[n].first == PCRE2_UNSET) {
        return std::nullopt;
    }
    return subject_.substr(spans_[n].first, spans_[n].second - spans_[n].first);
}

Regex::Regex(std::string_view pattern) {
    code_ = compile(pattern);
    compiled_ = code_ != nullptr;
    if (!code_) {
        code_ = compile("(?!)");
    }
    pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE); // falls back to the interpreter on failure
}

Regex::~Regex() {
    pcre2_code_free(code_);
}

std::optional<Match> Regex::search(std::string_view subject, size_t start,
                                   bool subjectIsValidUtf8) const {
    if (start > subject.size()) {
        return std::nullopt;
    }
    pcre2_match_data* data = threadMatchData();
    const uint32_t options = subjectIsValidUtf8 ? PCRE2_NO_UTF_CHECK : 0;
    const int rc = pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(),
                               start, options, data, nullptr);
    if (rc <= 0) {
        return std::nullopt; // no match, an error (invalid UTF-8), or ovector too small
    }
    Match m;
    m.subject_ = subject;
    m.count_ = rc;
    const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(data);
    for (int i = 0; i < rc; ++i) {
        m.spans_[i] = {ov[2 * i], ov[2 * i + 1]};
    }
    return m;
}

} // namespace corvane::util
