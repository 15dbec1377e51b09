#pragma once

#include <string>
#include <utility>
#include <variant>

namespace corvane::util {

/// Why an operation failed, in words for the person who asked for it: what could not be
/// done, and the reason ("can't save sift/baseline.json", "Read-only file system").
struct Failure {
    std::string what;
    std::string why;
    bool operator==(const Failure&) const = default;
};

/// A value, or the failure that kept it from being made.
template <typename T> class Expected {
  public:
    Expected(T value) : state_(std::move(value)) {}
    Expected(Failure failure) : state_(std::move(failure)) {}

    explicit operator bool() const { return state_.index() == 0; }
    const T& operator*() const { return std::get<0>(state_); }
    const T* operator->() const { return &std::get<0>(state_); }
    const Failure& failure() const { return std::get<1>(state_); }

    friend bool operator==(const Expected& a, const T& b) { return a && *a == b; }

  private:
    std::variant<T, Failure> state_;
};

} // namespace corvane::util
