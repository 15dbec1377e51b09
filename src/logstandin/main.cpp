// corvane-log: stands in for the system log tool on machines that have none, for the two
// uses the application makes of it: "stream" (replaying a capture file as if live) and
// "show" (the Full Disk Access probe).

#include "logstandin/Predicate.h"
#include "logstandin/Replay.h"
#include "platform/Platform.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

using corvane::logstandin::outputClosedWithin;
using corvane::logstandin::Predicate;
using corvane::logstandin::Replay;

constexpr int kUsageError = 64; // EX_USAGE
constexpr std::string_view kHeader = "Timestamp                       (process)[PID]";

int usage(std::string_view problem) {
    std::fprintf(stderr,
                 "corvane-log: %.*s\n"
                 "usage: corvane-log stream --predicate <predicate> [--info] --style syslog\n"
                 "       corvane-log show --last <n>[s|m|h|d] --style syslog\n",
                 static_cast<int>(problem.size()), problem.data());
    return kUsageError;
}

/// Options of one command: each "--name" either takes the next argument or is a flag.
/// Nothing for an unknown option, a repeated one or a missing value.
std::optional<std::map<std::string, std::string>>
readOptions(const std::vector<std::string_view>& args, const std::map<std::string, bool>& known) {
    std::map<std::string, std::string> out;
    for (size_t i = 0; i < args.size(); ++i) {
        const auto spec = known.find(std::string(args[i]));
        if (spec == known.end() || out.count(spec->first)) {
            return std::nullopt;
        }
        if (!spec->second) {
            out[spec->first] = "";
        } else if (i + 1 < args.size()) {
            out[spec->first] = std::string(args[++i]);
        } else {
            return std::nullopt;
        }
    }
    return out;
}

bool isDuration(std::string_view text) {
    if (!text.empty() && std::strchr("smhd", text.back())) {
        text.remove_suffix(1);
    }
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

std::optional<double> replaySpeed() {
    const char* text = std::getenv("CORVANE_LOG_SPEED");
    if (!text || !*text) {
        return 1.0;
    }
    char* end = nullptr;
    const double speed = std::strtod(text, &end);
    if (*end || !std::isfinite(speed) || speed < 0 || speed > corvane::logstandin::kMaxSpeed) {
        return std::nullopt;
    }
    return speed;
}

std::string sourcePath() {
    const char* path = std::getenv("CORVANE_LOG_SOURCE");
    return path && *path ? std::string(path)
                         : (corvane::platform::resourcesDir() / "sample_capture.log").string();
}

int stream(const std::vector<std::string_view>& args) {
    const auto options =
        readOptions(args, {{"--predicate", true}, {"--info", false}, {"--style", true}});
    if (!options || !options->count("--predicate") || !options->count("--style")) {
        return usage("stream needs --predicate and --style syslog");
    }
    if (options->at("--style") != "syslog") {
        return usage("only the syslog style is available");
    }
    const std::string& text = options->at("--predicate");
    const Predicate::Parsed parsed = Predicate::parse(text);
    if (!parsed.predicate) {
        return usage("invalid predicate: " + parsed.error);
    }
    const auto speed = replaySpeed();
    if (!speed) {
        return usage("CORVANE_LOG_SPEED must be a number from 0 to " +
                     std::to_string(static_cast<int>(corvane::logstandin::kMaxSpeed)));
    }
    corvane::platform::endWithParent();
    const std::string path = sourcePath();
    std::FILE* source = std::fopen(path.c_str(), "re");
    if (!source) {
        std::fprintf(stderr, "corvane-log: cannot read %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    // Unpaced, the reader takes the output in large blocks rather than line by line.
    static char block[256 * 1024];
    std::setvbuf(stdout, block, _IOFBF, sizeof block);
    Replay replay(*parsed.predicate, *speed);
    const bool ok = replay.emit("Filtering the log data using \"" + text + "\"") &&
                    replay.emit(kHeader) && replay.play(source);
    std::fclose(source);
    if (!ok) {
        return 1;
    }
    // A live stream has no end: stay until terminated, as the system tool does, or until
    // the reader goes (the system tool then dies of its next write).
    if (*speed > 0) {
        outputClosedWithin(std::chrono::milliseconds(-1));
    }
    return 0;
}

int show(const std::vector<std::string_view>& args) {
    const auto options = readOptions(args, {{"--last", true}, {"--style", true}});
    if (!options || !options->count("--last") || !isDuration(options->at("--last")) ||
        options->count("--style") == 0 || options->at("--style") != "syslog") {
        return usage("show needs --last <n>[s|m|h|d] and --style syslog");
    }
    const char* deny = std::getenv("CORVANE_LOG_DENY");
    if (deny && std::string_view(deny) == "1") {
        std::fprintf(stderr, "corvane-log: Could not open the system log: %s\n",
                     std::strerror(EPERM));
        return 1;
    }
    std::printf("%.*s\n", static_cast<int>(kHeader.size()), kHeader.data());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.empty()) {
        return usage("missing command");
    }
    const std::vector<std::string_view> rest(args.begin() + 1, args.end());
    if (args[0] == "stream") {
        return stream(rest);
    }
    if (args[0] == "show") {
        return show(rest);
    }
    return usage("unknown command '" + std::string(args[0]) + "'");
}
