#include "gen/Generator.h"
#include "gen/Rng.h"
#include "util/LocalTime.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

namespace corvane::gen {
namespace {

constexpr size_t kBlockBytes = 8 << 20;

/// Mean length of an evidence line of the default mix, line feed included; only used to
/// guess how long a log of a given size lasts before any of it has been generated.
constexpr double kMeanEvidenceLineBytes = 245;

constexpr std::string_view kStartMarker = " | \u2014 CV-APP capture started\n";

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

/// Writes blocks to a fresh file; remembers the first failure.
class BlockFile {
  public:
    explicit BlockFile(const std::filesystem::path& path)
        : file_(std::fopen(path.c_str(), "wb")), ok_(file_ != nullptr) {
        if (file_) {
            std::setvbuf(file_.get(), nullptr, _IONBF, 0);
        }
    }
    bool write(std::string_view block) {
        ok_ = ok_ && std::fwrite(block.data(), 1, block.size(), file_.get()) == block.size();
        return ok_;
    }
    bool close() {
        if (file_ && std::fclose(file_.release()) != 0) {
            ok_ = false;
        }
        return ok_;
    }

  private:
    File file_;
    bool ok_;
};

} // namespace

double evidenceStartEndingAt(double now, const EvidenceOptions& options) {
    const double rate = options.generator.linesPerSecond;
    double lines = static_cast<double>(options.maxLines);
    if (options.maxBytes > 0) {
        const double byBytes = static_cast<double>(options.maxBytes) / kMeanEvidenceLineBytes;
        lines = lines > 0 ? std::min(lines, byBytes) : byBytes;
    }
    return std::floor(now - lines / rate);
}

bool generateEvidence(const EvidenceOptions& options,
                      const std::function<bool(std::string_view block)>& sink) {
    if (options.maxBytes == 0 && options.maxLines == 0) {
        return false;
    }
    Generator generator(options.generator);
    Rng delays(options.generator.seed ^ 0x5DEECE66DULL);
    const double start = options.generator.start;
    const double rate = options.generator.linesPerSecond;
    const double ownerWindow = options.ownerActiveMinutes * 60;
    bool ownerKept = options.ownerActiveMinutes <= 0;

    std::string block;
    block.reserve(kBlockBytes + (64 << 10));
    uint64_t bytes = 0;
    uint64_t lines = 0;

    char stamp[19];
    int64_t stampSecond = static_cast<int64_t>(std::floor(start));
    util::formatLocalDateTime(stampSecond, stamp);
    if (options.maxBytes == 0 || sizeof stamp + kStartMarker.size() <= options.maxBytes) {
        block.append(stamp, sizeof stamp);
        block += kStartMarker;
        bytes = block.size();
    }

    std::string line;
    double eventEpoch = 0;
    while (options.maxLines == 0 || lines < options.maxLines) {
        if (!generator.next(line, eventEpoch)) {
            break;
        }
        const uint64_t need = sizeof stamp + 3 + line.size() + 1;
        if (options.maxBytes > 0 && bytes + need > options.maxBytes) {
            break;
        }
        // The capture stamps a line when it reads it, a moment after the event; stamps in
        // the file never go back.
        const double captured = eventEpoch + 0.005 + delays.uniform() * 0.6;
        const auto second = static_cast<int64_t>(std::floor(captured));
        if (second > stampSecond) {
            stampSecond = second;
            util::formatLocalDateTime(stampSecond, stamp);
        }
        block.append(stamp, sizeof stamp);
        block += " | ";
        block += line;
        block += '\n';
        bytes += need;
        ++lines;

        if (!ownerKept) {
            // Estimate the time left from the pace so far, so the phone is around for the
            // log's final minutes whichever limit ends it.
            const double elapsed = eventEpoch - start;
            const bool measured = elapsed > 600;
            double left = std::numeric_limits<double>::infinity();
            if (options.maxLines > 0) {
                const double perLine = measured ? elapsed / static_cast<double>(lines) : 1 / rate;
                left = static_cast<double>(options.maxLines - lines) * perLine;
            }
            if (options.maxBytes > 0) {
                const double perByte = measured ? elapsed / static_cast<double>(bytes)
                                                : 1 / (rate * kMeanEvidenceLineBytes);
                left = std::min(left, static_cast<double>(options.maxBytes - bytes) * perByte);
            }
            if (left <= ownerWindow) {
                generator.keepOwnerPresent();
                ownerKept = true;
            }
        }
        if (block.size() >= kBlockBytes) {
            if (!sink(block)) {
                return false;
            }
            block.clear();
        }
    }
    return block.empty() || sink(block);
}

bool writeEvidenceFile(const std::filesystem::path& path, const EvidenceOptions& options) {
    BlockFile file(path);
    const bool generated =
        generateEvidence(options, [&](std::string_view block) { return file.write(block); });
    return file.close() && generated;
}

bool writeCaptureFile(const std::filesystem::path& path, const Options& options) {
    BlockFile file(path);
    Generator generator(options);
    std::string block;
    std::string line;
    double eventEpoch = 0;
    bool ok = true;
    while (ok && generator.next(line, eventEpoch)) {
        block += line;
        block += '\n';
        if (block.size() >= kBlockBytes) {
            ok = file.write(block);
            block.clear();
        }
    }
    ok = ok && file.write(block);
    return file.close() && ok;
}

std::vector<std::string> evidenceLines(const EvidenceOptions& options) {
    std::vector<std::string> result;
    generateEvidence(options, [&](std::string_view block) {
        while (!block.empty()) {
            const size_t end = block.find('\n');
            result.emplace_back(block.substr(0, end));
            block.remove_prefix(end + 1);
        }
        return true;
    });
    return result;
}

} // namespace corvane::gen
