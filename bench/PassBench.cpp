// The analyser pass as the 45-second timer runs it, with a state at every cap: an idle pass
// (no new bytes) and a pass over 1,000 new lines of a busy log.
#include "gen/Generator.h"
#include "sift/Sift.h"
#include "util/Files.h"
#include "util/LocalTime.h"
#include "util/Utf8.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using namespace corvane;

constexpr double kNow = 1'800'000'000;

std::string macOf(int n) {
    char text[18];
    std::snprintf(text, sizeof text, "5E:%02X:%02X:10:20:30", (n >> 8) & 0xFF, n & 0xFF);
    return text;
}

/// One day of a busy log in a state: hundreds of peers and every list at its cap.
Sift::State fullState() {
    Sift::State s;
    const auto when = [](size_t i, size_t n) { return kNow - 86000 + 86000.0 * i / n; };
    for (int i = 0; i < 400; ++i) {
        const std::string mac = macOf(i);
        const double last = when(i, 400);
        // Every peer with all its references and hours, as after a day of sightings.
        std::vector<Sift::Ref> refs;
        for (uint64_t k = 0; k < Sift::kFirstRefs + Sift::kLastRefs; ++k) {
            refs.push_back({1000000 + 1000 * k, 250000000 + 250000 * k});
        }
        std::vector<int64_t> hours;
        for (int64_t h = 0; h < static_cast<int64_t>(Sift::kMaxHours); ++h) {
            hours.push_back(static_cast<int64_t>(last / 3600) - h);
        }
        std::reverse(hours.begin(), hours.end());
        Sift::Peer peer{last - 3000, last, "07:59:00", "2027-01-15", 120, refs, hours};
        (i % 2 == 0 ? s.dPeer : s.aPeer)[mac] = peer;
        s.macTail[mac][i < 40 ? "0123456789AB" : "FEDCBA98" + std::to_string(1000 + i % 50)] = 7;
        (i % 2 == 0 ? s.dAdsid : s.aAdsid)[mac]["Acct" + std::to_string(i % 30)] = 9;
        s.macAid[mac]["org.example." + std::to_string(i % 7)] = 3;
        if (i % 5 == 0) {
            s.owner.insert(mac);
        }
    }
    for (int i = 0; i < 60; ++i) {
        s.cul["Acct" + std::to_string(i)] = Sift::Cul{"org.example", 40, kNow - 80000, kNow - i, {}, {}};
    }
    for (size_t i = 0; i < 1500; ++i) {
        const double t = when(i, 1500);
        const std::string key = "2027-01-15|" + std::to_string(i) + "|S|Acct" + std::to_string(i);
        s.access[key] = Sift::Acc{t,
                                  "2027-01-15",
                                  "07:59:00",
                                  "Screen sharing",
                                  "Acct1",
                                  "org.example",
                                  macOf(static_cast<int>(i % 400)),
                                  {{i, i * 300}}};
    }
    for (size_t i = 0; i < Sift::kMaxRecentRes; ++i) {
        s.recentRes.push_back(Sift::Res{when(i, Sift::kMaxRecentRes) + 0.123456, "2027-01-15",
                                        macOf(static_cast<int>(i % 400)), "Acct1", "org.example",
                                        {i, i * 300}});
    }
    for (size_t i = 0; i < Sift::kMaxPairs; ++i) {
        const double t = when(i, Sift::kMaxPairs) + 0.126456;
        s.pairs.push_back(Sift::PairRow{t, "2027-01-15 07:59:00.126456", macOf(1), "Acct1",
                                        "org.example", "Screen (7)", "3.000", "0x2f",
                                        "Screen · Keyboard", true,
                                        {{i, i * 300}, {i + 1, i * 300 + 300}}});
    }
    for (size_t i = 0; i < Sift::kMaxKbd; ++i) {
        s.kbd.push_back(Sift::KbdRow{when(i, Sift::kMaxKbd), "2027-01-15 07:59:00.126456",
                                     "12:34:56:78:9A:BC", "Acct1", "Keyboard (5)", "Keyboard",
                                     "01 02 03", {{i, i * 300}}});
    }
    for (size_t i = 0; i < Sift::kMaxBle; ++i) {
        s.ble.push_back(
            Sift::BleRow{when(i, Sift::kMaxBle), "2027-01-15 07:59:00.126456", "aa bb cc",
                         {{i, i * 300}}});
    }
    const std::string view(230, 'v');
    for (size_t i = 0; i < Sift::kMaxView; ++i) {
        s.view.push_back("2027-01-15 07:59:00 | CUBonjourDevice " + view);
    }
    s.pairsTotal = static_cast<int64_t>(s.pairs.size());
    s.pairsScreen = s.pairsTotal;
    s.kbdTotal = static_cast<int64_t>(s.kbd.size());
    s.bleTotal = static_cast<int64_t>(s.ble.size());
    s.minE = kNow - 89000;
    s.maxE = kNow;
    return s;
}

/// The busy day's state with every text field at its cap, in the character JSON doubles,
/// and the culprit and access maps full: the largest state the caps allow but for a flood of
/// distinct devices.
Sift::State fieldCapState() {
    Sift::State s = fullState();
    const std::string field = std::string(Sift::kMaxFieldBytes, '"') + "…";
    const std::string key = std::string(Sift::kMaxCountKeyBytes, '"') + "…";
    for (auto& [mac, counts] : s.macAid) {
        counts = {{key, 3}};
    }
    const Sift::Cul cul = s.cul.begin()->second;
    for (size_t i = 0; s.cul.size() < Sift::kMaxCulprits; ++i) {
        s.cul["Foe" + std::to_string(i)] = cul;
    }
    const Sift::Acc acc = s.access.begin()->second;
    for (size_t i = 0; s.access.size() < Sift::kMaxAccess; ++i) {
        s.access["2027-01-15|" + std::to_string(i) + "|K|Foe"] = acc;
    }
    for (auto& [id, c] : s.cul) {
        c.aid = field;
    }
    for (auto& [id, a] : s.access) {
        a.aid = field;
    }
    for (auto& r : s.recentRes) {
        r.aid = field;
    }
    for (auto& p : s.pairs) {
        p.aid = p.aclv = p.cid = p.svc = field;
    }
    for (auto& k : s.kbd) {
        k.aclv = k.svc = k.selftag = field;
    }
    for (auto& b : s.ble) {
        b.nbat = field;
    }
    for (auto& line : s.view) {
        line = "2027-01-15 07:59:00 | CUBonjourDevice ";
        line.resize(Sift::kMaxViewLineBytes, '"');
        line += "…";
    }
    return s;
}

std::string busyLines(int count, double start) {
    gen::EvidenceOptions options;
    options.maxLines = static_cast<uint64_t>(count);
    options.generator.start = start;
    options.generator.linesPerSecond = count / 45.0;
    options.generator.seed = 45;
    std::string text;
    for (const auto& line : gen::evidenceLines(options)) {
        text += line;
        text += '\n';
    }
    return text;
}

/// A data folder whose log is fully consumed by a state at every cap.
class FullFolder {
  public:
    explicit FullFolder(Sift::State (*makeState)() = fullState) {
        std::string tmpl = (fs::temp_directory_path() / "corvane-bench-XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data());
        log_ = busyLines(20000, kNow - 86000);
        auto state = makeState();
        state.head = util::replaceInvalidUtf8(std::string_view(log_).substr(0, 160));
        state.offset = log_.size();
        util::writeFileAtomic(path_ / "CV_personal.log", log_);
        Sift::saveState(state, path_ / "cv_state_live.json");
        stateBytes_ = *util::readFile(path_ / "cv_state_live.json");
    }
    ~FullFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    FullFolder(const FullFolder&) = delete;
    FullFolder& operator=(const FullFolder&) = delete;

    const fs::path& path() const { return path_; }
    /// Back to the full state and its log, then `more` appended to the log.
    void reset(const std::string& more) const {
        util::writeFileAtomic(path_ / "cv_state_live.json", stateBytes_);
        util::writeFileAtomic(path_ / "CV_personal.log", log_ + more);
    }
    size_t stateBytes() const { return stateBytes_.size(); }

  private:
    fs::path path_;
    std::string log_;
    std::string stateBytes_;
};

void BM_IdlePassFullState(benchmark::State& bench) {
    const FullFolder folder;
    for (auto _ : bench) {
        const auto result = Sift::runPass(folder.path(), kNow);
        benchmark::DoNotOptimize(result);
    }
    bench.counters["state_MB"] = static_cast<double>(folder.stateBytes()) / 1e6;
}
BENCHMARK(BM_IdlePassFullState)->Unit(benchmark::kMillisecond);

void BM_IdlePassFieldCaps(benchmark::State& bench) {
    const FullFolder folder(fieldCapState);
    for (auto _ : bench) {
        const auto result = Sift::runPass(folder.path(), kNow);
        benchmark::DoNotOptimize(result);
    }
    bench.counters["state_MB"] = static_cast<double>(folder.stateBytes()) / 1e6;
}
BENCHMARK(BM_IdlePassFieldCaps)->Unit(benchmark::kMillisecond);

void BM_PassOver1000NewLinesFullState(benchmark::State& bench) {
    const FullFolder folder;
    const std::string lines = busyLines(1000, kNow - 45);
    for (auto _ : bench) {
        bench.PauseTiming();
        folder.reset(lines);
        bench.ResumeTiming();
        const auto result = Sift::runPass(folder.path(), kNow);
        benchmark::DoNotOptimize(result);
    }
    bench.counters["new_lines"] = 1000;
}
BENCHMARK(BM_PassOver1000NewLinesFullState)->Unit(benchmark::kMillisecond);

} // namespace
