// corvane-gen: deterministic sample captures and evidence logs.
//
// The bundled sample that corvane-log replays is regenerated, from the repository root, with
//
//     TZ=America/Los_Angeles build/<dir>/bin/corvane-gen capture --out resources/sample_capture.log
//
// (the defaults: 12 minutes from 2026-10-18 09:12:00 local time, the owner's phone on
// DirectLink from minute 2, foreign devices from minute 5, seed 1).

#include "gen/Generator.h"
#include "gen/Scenario.h"
#include "util/LocalTime.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <optional>

namespace {

using corvane::gen::EvidenceOptions;
using corvane::gen::Options;

void addCaptureCommand(CLI::App& app) {
    struct Args {
        std::string out;
        double minutes = 12;
        double foreignAfter = 5;
        double ownerAfter = 2;
        uint64_t seed = 1;
        std::string start;
        double rate = Options{}.linesPerSecond;
    };
    auto args = std::make_shared<Args>();
    CLI::App* cmd = app.add_subcommand(
        "capture", "A syslog-style capture of the log tool's output, for corvane-log to replay");
    cmd->add_option("--out", args->out, "Output file")->required();
    cmd->add_option("--minutes", args->minutes, "Length of the capture")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    cmd->add_option("--foreign-after-minutes", args->foreignAfter,
                    "When foreign devices start to appear")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    cmd->add_option("--owner-after-minutes", args->ownerAfter,
                    "When the owner's phone starts to use DirectLink")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    cmd->add_option("--seed", args->seed, "Random seed")->capture_default_str();
    cmd->add_option("--start", args->start,
                    "Time of the first event, \"YYYY-MM-DD HH:MM:SS\" local time "
                    "(default 2026-10-18 09:12:00 Pacific)");
    cmd->add_option("--lines-per-second", args->rate, "Mean rate of lines")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    cmd->callback([args] {
        Options options;
        options.seed = args->seed;
        if (!args->start.empty()) {
            const auto start = corvane::util::parseLocalDateTime(args->start);
            if (!start) {
                throw CLI::ValidationError("--start", "expected \"YYYY-MM-DD HH:MM:SS\"");
            }
            options.start = static_cast<double>(*start);
        }
        options.duration = args->minutes * 60;
        options.ownerAfter = args->ownerAfter * 60;
        options.foreignAfter = args->foreignAfter * 60;
        options.linesPerSecond = args->rate;
        if (!corvane::gen::writeCaptureFile(args->out, options)) {
            std::fprintf(stderr, "corvane-gen: cannot write %s\n", args->out.c_str());
            throw CLI::RuntimeError(1);
        }
    });
}

void addEvidenceCommand(CLI::App& app) {
    struct Args {
        std::string out;
        uint64_t bytes = 0;
        uint64_t lines = 0;
        std::optional<double> start;
        uint64_t seed = 1;
        double ownerActiveMinutes = EvidenceOptions{}.ownerActiveMinutes;
        double rate = EvidenceOptions{}.generator.linesPerSecond;
    };
    auto args = std::make_shared<Args>();
    CLI::App* cmd = app.add_subcommand(
        "evidence", "An evidence log as the capture writes it (only the lines it keeps)");
    cmd->add_option("--out", args->out, "Output file")->required();
    cmd->add_option("--bytes", args->bytes, "Size limit (suffixes k, M, G: 1000s)")
        ->transform(CLI::AsSizeValue(true));
    cmd->add_option("--lines", args->lines, "Number of event lines");
    cmd->add_option("--start", args->start,
                    "First event, seconds since 1970 (default: the log ends about now)");
    cmd->add_option("--seed", args->seed, "Random seed")->capture_default_str();
    cmd->add_option("--owner-active-minutes", args->ownerActiveMinutes,
                    "The owner's phone is present throughout the log's final minutes")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    cmd->add_option("--lines-per-second", args->rate, "Mean rate of lines")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    cmd->callback([args] {
        if (args->bytes == 0 && args->lines == 0) {
            throw CLI::ValidationError("--bytes or --lines", "one of them must be above 0");
        }
        EvidenceOptions options;
        options.maxBytes = args->bytes;
        options.maxLines = args->lines;
        options.ownerActiveMinutes = args->ownerActiveMinutes;
        options.generator.seed = args->seed;
        options.generator.linesPerSecond = args->rate;
        options.generator.start =
            args->start ? *args->start
                        : corvane::gen::evidenceStartEndingAt(corvane::util::nowEpoch(), options);
        if (!corvane::gen::writeEvidenceFile(args->out, options)) {
            std::fprintf(stderr, "corvane-gen: cannot write %s\n", args->out.c_str());
            throw CLI::RuntimeError(1);
        }
    });
}

void addScenarioCommand(CLI::App& app) {
    struct Args {
        std::string name;
        std::string out;
        uint64_t seed = 1;
    };
    auto args = std::make_shared<Args>();
    CLI::App* cmd = app.add_subcommand(
        "scenario", "A labelled evidence log (CV_personal.log) and what is whose in it "
                    "(truth.json), for judging the detection");
    cmd->add_option("name", args->name, "The scenario")
        ->required()
        ->check(CLI::IsMember(corvane::gen::scenarioNames()));
    cmd->add_option("--out", args->out, "Output folder")->required();
    cmd->add_option("--seed", args->seed, "Random seed")->capture_default_str();
    cmd->callback([args] {
        if (!corvane::gen::writeScenario(args->name, args->out, args->seed)) {
            std::fprintf(stderr, "corvane-gen: cannot write %s\n", args->out.c_str());
            throw CLI::RuntimeError(1);
        }
    });
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Sample captures and evidence logs for Corvane Monitor", "corvane-gen"};
    app.require_subcommand(1);
    addCaptureCommand(app);
    addEvidenceCommand(app);
    addScenarioCommand(app);
    CLI11_PARSE(app, argc, argv);
    return 0;
}
