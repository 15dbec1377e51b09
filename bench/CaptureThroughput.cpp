// Capture throughput: corvane-log replays a generated 1,000,000-line capture with no pauses,
// Capture writes what passes the predicate into an evidence log, and the figures are lines
// written per second and peak memory. Then every source line the predicate accepts is
// looked for in the evidence log, in order, besides the markers, the banner and the header.
//
// Usage: corvane-capture-bench [LINES]   (default 1000000)

#include "capture/Capture.h"
#include "capture/DataFolder.h"
#include "gen/Generator.h"
#include "logstandin/Predicate.h"
#include "logstandin/SyslogLine.h"
#include "monitor/MonitorLoop.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using corvane::Capture;

constexpr size_t kStampedPrefix = 22; // "yyyy-MM-dd HH:mm:ss | "

struct Run {
    double seconds = 0;
    int64_t lineCount = 0;
};

/// Writes `lines` generated syslog lines; returns their size in bytes.
uint64_t writeSource(const fs::path& path, uint64_t lines) {
    corvane::gen::Options options;
    options.linesPerSecond = 200;
    corvane::gen::Generator generator(options);
    std::ofstream out(path, std::ios::binary);
    std::string line;
    double epoch = 0;
    for (uint64_t i = 0; i < lines && generator.next(line, epoch); ++i) {
        out << line << '\n';
    }
    out.flush();
    return static_cast<uint64_t>(out.tellp());
}

/// Runs the capture on the stand-in until the stand-in has replayed everything, then stops.
Run capture(const fs::path& dataFolder) {
    corvane::monitor::MonitorLoop loop;
    Capture capture(dataFolder, loop.poster());
    bool seenRunning = false;
    capture.setChangeCallback([&](Capture::Property property) {
        if (property != Capture::Property::isRunning) {
            return;
        }
        seenRunning |= capture.isRunning();
        if (seenRunning && !capture.isRunning()) {
            loop.quit(0);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    capture.start();
    loop.post([&] {
        if (capture.lastError()) {
            std::fprintf(stderr, "capture failed: %s\n", capture.lastError()->c_str());
            loop.quit(1);
        }
    });
    if (loop.run() != 0) {
        std::exit(1);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    capture.stop();
    loop.quit(0);
    loop.run();
    return {seconds, capture.lineCount()};
}

/// Every source line the predicate accepts, in order, must be an evidence line whose text
/// after the re-stamped event time is the source's. Returns the number matched, or -1.
int64_t verify(const fs::path& source, const fs::path& evidence) {
    const auto parsed = corvane::logstandin::Predicate::parse(Capture::predicate);
    std::ifstream in(source, std::ios::binary);
    std::ifstream log(evidence, std::ios::binary);
    std::string expected;
    std::string got;
    const std::string header[] = {std::string(Capture::startMarker),
                                  "Filtering the log data using \"" +
                                      std::string(Capture::predicate) + "\"",
                                  "Timestamp                       (process)[PID]"};
    for (const auto& want : header) {
        if (!std::getline(log, got) || got.compare(kStampedPrefix, std::string::npos, want) != 0) {
            std::fprintf(stderr, "expected \"%s\", got \"%s\"\n", want.c_str(), got.c_str());
            return -1;
        }
    }
    int64_t matched = 0;
    while (std::getline(in, expected)) {
        const auto line = corvane::logstandin::parseSyslogLine(expected);
        if (!parsed.predicate->matches({line.process, line.eventMessage})) {
            continue;
        }
        if (!std::getline(log, got) || got.size() < kStampedPrefix + line.stampLength ||
            got.compare(kStampedPrefix + line.stampLength, std::string::npos, expected,
                        line.stampLength) != 0) {
            std::fprintf(stderr, "line %lld missing or out of order:\n  want %s\n  got  %s\n",
                         static_cast<long long>(matched + 1), expected.c_str(), got.c_str());
            return -1;
        }
        ++matched;
    }
    if (!std::getline(log, got) ||
        got.compare(kStampedPrefix, std::string::npos, Capture::stopMarker) != 0 ||
        std::getline(log, got)) {
        std::fprintf(stderr, "the log does not end with the stop marker\n");
        return -1;
    }
    return matched;
}

double peakRssMb(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0; // kilobytes on Linux
}

} // namespace

int main(int argc, char** argv) {
    const uint64_t lines = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const fs::path work =
        fs::temp_directory_path() / ("corvane-capture-bench-" + std::to_string(::getpid()));
    fs::create_directories(work);
    const fs::path source = work / "source.log";
    const uint64_t bytes = writeSource(source, lines);
    ::setenv("CORVANE_LOG_SOURCE", source.c_str(), 1);
    ::setenv("CORVANE_LOG_SPEED", "0", 1);

    const Run run = capture(work / "CV");
    const int64_t written = run.lineCount - 4; // the two markers, the banner and the header
    const fs::path evidence = corvane::DataFolder(work / "CV").evidenceLog();
    std::printf("capture-throughput: %llu source lines (%.1f MB), %lld evidence lines written "
                "(%.1f MB) in %.3f s\n",
                static_cast<unsigned long long>(lines), static_cast<double>(bytes) / 1e6,
                static_cast<long long>(written), static_cast<double>(fs::file_size(evidence)) / 1e6,
                run.seconds);
    std::printf("capture-throughput: %.0f lines/s written, %.0f source lines/s replayed\n",
                static_cast<double>(written) / run.seconds,
                static_cast<double>(lines) / run.seconds);
    std::printf("capture-throughput: peak RSS %.1f MB (capture process), %.1f MB (corvane-log)\n",
                peakRssMb(RUSAGE_SELF), peakRssMb(RUSAGE_CHILDREN));
    const int64_t matched = verify(source, evidence);
    if (matched >= 0) {
        std::printf("capture-throughput: verified: all %lld lines the predicate accepts are "
                    "in the evidence log, in order, between the banner and the stop marker\n",
                    static_cast<long long>(matched));
    }
    fs::remove_all(work);
    return matched == written ? 0 : 1;
}
