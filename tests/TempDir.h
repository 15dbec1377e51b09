#pragma once

#include "util/LocalTime.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace corvane::test {

/// A fresh folder under the system's temporary folder, removed with everything in it at
/// the end of the test.
class TempDir {
  public:
    TempDir() {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "corvane-test-XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }
    operator const std::filesystem::path&() const { return path_; }

  private:
    std::filesystem::path path_;
};

inline void writeText(const std::filesystem::path& path, std::string_view text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// Runs a test body in a given time zone and restores UTC afterwards.
class InZone {
  public:
    explicit InZone(const char* zone) {
        setenv("TZ", zone, 1);
        util::timeZoneChanged();
    }
    ~InZone() {
        setenv("TZ", "UTC", 1);
        util::timeZoneChanged();
    }
    InZone(const InZone&) = delete;
    InZone& operator=(const InZone&) = delete;
};

} // namespace corvane::test
