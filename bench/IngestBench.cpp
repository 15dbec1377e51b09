// Per-line analyser throughput: a realistic evidence log from the generator, and a worst
// case in which every line carries every marker and every pattern matches.
#include "gen/Generator.h"
#include "sift/Sift.h"

#include <benchmark/benchmark.h>
#include <string>
#include <vector>

namespace {

using corvane::Sift::State;

const std::vector<std::string>& realisticLines() {
    static const std::vector<std::string> lines = [] {
        corvane::gen::EvidenceOptions options;
        options.generator.seed = 7;
        options.maxLines = 200000;
        std::string text;
        corvane::gen::generateEvidence(options, [&](std::string_view block) {
            text.append(block);
            return true;
        });
        std::vector<std::string> out;
        size_t start = 0;
        for (size_t end = text.find('\n'); end != std::string::npos;
             start = end + 1, end = text.find('\n', start)) {
            if (end > start) {
                out.emplace_back(text.substr(start, end - start));
            }
        }
        return out;
    }();
    return lines;
}

std::vector<std::string> worstLines() {
    std::vector<std::string> out;
    for (int i = 0; i < 1000; ++i) {
        char mac[18];
        std::snprintf(mac, sizeof mac, "5e:3a:11:22:%02x:%02x", i / 256 % 256, i % 256);
        char event[32];
        std::snprintf(event, sizeof event, "09:%02d:%02d.%06d", i / 60 % 60, i % 60,
                      i * 37 % 1000000);
        out.push_back(
            std::string("2026-10-18 09:14:02 | 2026-10-18 ") + event +
            "-0700  localhost bluetoothd[201]: RPIdentityDaemon: Resolved DeviceAuthTag "
            "for 0a1b2c3d-4e5f-6a7b-8c9d-aabbccddeeff, CUBonjourDevice " +
            mac +
            ", < AWDL >, TT 0x10, stID 0a1b2c3d-4e5f-6a7b-8c9d-aabbccddeeff, IDS 'Abc12', "
            "AID 'aid-1', DeviceAuthTag: owner, SameAccountDevice as owner, Screen (7), "
            "NeedsKeyboard nbAT <a1 b2 c3>, CLinkD connection client CID 0x1f2e, "
            "AcLv = Screen (7), SF 0x1c < Scrn Kbd >, DF 0x2 < Kbd Files >, Evaluating "
            "AuthTag from device BLE addr 5E:3A:11:22:33:44, selfAuthTag <0a 0b>, "
            "found AWDL, found DirectLink");
    }
    return out;
}

void run(benchmark::State& bench, const std::vector<std::string>& lines) {
    State state;
    size_t i = 0;
    size_t bytes = 0;
    for (auto _ : bench) {
        const std::string& line = lines[i];
        corvane::Sift::ingestLine(line, state);
        bytes += line.size() + 1;
        if (++i == lines.size()) {
            i = 0;
        }
    }
    bench.SetItemsProcessed(static_cast<int64_t>(bench.iterations()));
    bench.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_ingestLine_realistic(benchmark::State& bench) {
    run(bench, realisticLines());
}
BENCHMARK(BM_ingestLine_realistic)->MinTime(2.0);

void BM_ingestLine_worst(benchmark::State& bench) {
    static const std::vector<std::string> lines = worstLines();
    run(bench, lines);
}
BENCHMARK(BM_ingestLine_worst)->MinTime(2.0);

} // namespace
