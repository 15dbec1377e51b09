#pragma once

#include "TempDir.h"
#include "baseline/RowReader.h"
#include "capture/DataFolder.h"
#include "util/LocalTime.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::test {

/// One evidence-log line as the capture writes it: local stamp, " | ", payload, line feed.
inline std::string stamped(int64_t epoch, std::string_view payload) {
    return util::formatLocalDateTime(epoch) + " | " + std::string(payload) + "\n";
}

inline std::filesystem::path evidenceLog(const TempDir& dir) {
    return DataFolder(dir).evidenceLog();
}

/// The straightforward reading: every line of the whole file, in order.
inline std::vector<Baseline::Row> fullScan(const std::filesystem::path& log, double since) {
    const std::string text = readText(log);
    std::vector<Baseline::Row> found;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        if (auto row =
                Baseline::rowOfLine(std::string_view(text).substr(start, end - start), since)) {
            found.push_back(std::move(*row));
        }
        start = end + 1;
    }
    return found;
}

} // namespace corvane::test
