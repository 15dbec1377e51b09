// The owner baseline refresh over its 20-minute window, on generated evidence logs of 10 MB,
// 100 MB and 2 GB whose last 20 minutes show the owner's phone: the cost must follow the
// window, not the log. The logs are generated once into $CORVANE_BENCH_DIR (default: the
// temporary folder) and reused by later runs; each folder also records the `now` used, for
// the script that measures the command's peak memory.
#include "baseline/Baseline.h"
#include "gen/Generator.h"
#include "sift/Analysis.h"
#include "util/Files.h"
#include "util/LocalTime.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace {

namespace fs = std::filesystem;
using namespace corvane;

constexpr double kWindow = Sift::kBaselineWindow;
constexpr double kLogEnd = 1792339920; // 2026-10-18 09:12 Pacific

struct BenchFolder {
    fs::path path;
    double now = 0;
    uint64_t bytes = 0;
};

fs::path benchRoot() {
    const char* dir = std::getenv("CORVANE_BENCH_DIR");
    return dir != nullptr ? fs::path(dir) : fs::temp_directory_path() / "corvane-baseline-bench";
}

/// One second after the capture stamp of the log's last line.
double afterLastStamp(const fs::path& log) {
    const uint64_t size = util::fileSize(log).value_or(0);
    std::ifstream in(log, std::ios::binary);
    const uint64_t from = size > 4096 ? size - 4096 : 0;
    in.seekg(static_cast<std::streamoff>(from));
    std::string tail((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    tail.erase(tail.find_last_not_of('\n') + 1);
    const size_t start = tail.rfind('\n') + 1; // npos + 1 == 0
    const auto stamp = util::parseLocalDateTime(std::string_view(tail).substr(start, 19));
    return static_cast<double>(stamp.value_or(0)) + 1;
}

/// A data folder with a log of `megabytes` and a baseline learnt over its last 20 minutes.
const BenchFolder& folderOf(uint64_t megabytes) {
    static std::map<uint64_t, BenchFolder> folders;
    if (const auto it = folders.find(megabytes); it != folders.end()) {
        return it->second;
    }
    BenchFolder folder{benchRoot() / (std::to_string(megabytes) + "MB")};
    const fs::path log = folder.path / "CV_personal.log";
    const fs::path done = folder.path / ".generated";
    if (!fs::exists(done)) {
        util::createFolders(folder.path);
        gen::EvidenceOptions options;
        options.maxBytes = megabytes * 1000 * 1000;
        options.ownerActiveMinutes = 20;
        options.generator.seed = 11;
        options.generator.start = gen::evidenceStartEndingAt(kLogEnd, options);
        gen::writeEvidenceFile(log, options);
        std::ofstream(done) << "complete\n";
    }
    folder.now = afterLastStamp(log);
    folder.bytes = util::fileSize(log).value_or(0);
    std::ofstream(folder.path / "now") << static_cast<int64_t>(folder.now) << "\n";
    fs::remove(Baseline::baselinePath(folder.path));
    const auto phone = Baseline::ownerBLE(Baseline::rows(folder.path, folder.now - kWindow)).first;
    Baseline::save(folder.path, "consumer", phone.value_or("00:00:00:00:00:00"), {}, "searching",
                   {});
    return folders.emplace(megabytes, std::move(folder)).first->second;
}

void BM_BaselineRefresh(benchmark::State& state) {
    const BenchFolder& folder = folderOf(static_cast<uint64_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(Baseline::refresh(folder.path, kWindow, folder.now));
    }
    state.counters["log_MB"] = static_cast<double>(folder.bytes) / 1e6;
    state.counters["window_rows"] =
        static_cast<double>(Baseline::rows(folder.path, folder.now - kWindow).size());
}
BENCHMARK(BM_BaselineRefresh)->Arg(10)->Arg(100)->Arg(2000)->Unit(benchmark::kMillisecond);

} // namespace
