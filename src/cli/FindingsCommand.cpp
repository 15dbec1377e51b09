#include "cli/Commands.h"
#include "capture/DataFolder.h"
#include "cli/SharedOptions.h"
#include "evidence/Findings.h"
#include "sift/Evidence.h"
#include "util/Files.h"
#include "util/ReadOnlyFile.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <set>
#include <vector>
#include <unistd.h>

namespace corvane::cli {

namespace {

// The event ids already in an output file are read from at most its last this many bytes:
// a finding of the day the analysis keeps was appended well within it.
constexpr uint64_t kSeenWindowBytes = uint64_t{64} << 20;
const std::string kEvidenceName = DataFolder::inSift(DataFolder::kEvidenceFile);

struct FindingsOptions {
    std::string data;
    std::string format = "jsonl";
    std::string out;
};

/// The event ids of the records at the end of a file written before.
std::set<std::string> seenIds(const std::string& path) {
    std::set<std::string> ids;
    const auto size = util::fileSize(path).value_or(0);
    const uint64_t from = size > kSeenWindowBytes ? size - kSeenWindowBytes : 0;
    std::string carried;
    const auto take = [&ids](std::string_view line) {
        const auto record = nlohmann::json::parse(line, nullptr, false);
        if (record.is_object() && record.contains("event") && record["event"].is_object()) {
            if (const auto id = record["event"].find("id");
                id != record["event"].end() && id->is_string()) {
                ids.insert(id->get<std::string>());
            }
        }
    };
    util::ReadOnlyFile file(path);
    if (!file.seek(from)) {
        return ids;
    }
    std::vector<char> block(256 * 1024);
    for (ssize_t n; (n = file.read(block.data(), block.size())) > 0;) {
        carried.append(block.data(), static_cast<size_t>(n));
        size_t start = 0;
        for (size_t lf = carried.find('\n'); lf != std::string::npos;
             lf = carried.find('\n', start)) {
            take(std::string_view(carried).substr(start, lf - start));
            start = lf + 1;
        }
        carried.erase(0, start);
    }
    return ids;
}

void runFindings(const FindingsOptions& options) {
    const auto folder = existingDataFolder("findings", options.data);
    const auto evidence = Sift::readEvidence(folder);
    if (!evidence) {
        fail("findings", "no evidence of findings",
             kEvidenceName + " is missing or unreadable; run a pass first");
    }
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) {
        std::strcpy(host, "localhost");
    }
    const auto records = evidence::ecsFindings(*evidence, host);
    if (options.out.empty()) {
        for (const auto& record : records) {
            std::printf("%s\n", record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        }
        return;
    }
    // Appended, never rewritten, and each finding once: a shipper that follows the file
    // reads every record exactly once however often this runs.
    const auto seen = seenIds(options.out);
    std::string bytes;
    for (const auto& record : records) {
        if (seen.count(record["event"]["id"].get<std::string>()) == 0) {
            bytes += record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
            bytes += '\n';
        }
    }
    const int fd = ::open(options.out.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        fail("findings", "can't open " + options.out, std::strerror(errno));
    }
    const bool written = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    const int err = errno;
    ::close(fd);
    if (!written) {
        fail("findings", "can't write " + options.out, std::strerror(err));
    }
}

} // namespace

void addFindingsCommand(CLI::App& app) {
    auto options = std::make_shared<FindingsOptions>();
    auto* cmd = app.add_subcommand(
        "findings", "Print the findings of the last pass, one JSON object a line with Elastic "
                    "Common Schema field names, for a log shipper");
    addDataOption(cmd, options->data);
    cmd->add_option("--format", options->format, "The output format")
        ->check(CLI::IsMember({"jsonl"}));
    cmd->add_option("--out", options->out,
                    "Append to this file the findings it does not hold yet, instead of printing "
                    "them all");
    cmd->callback([options] { runFindings(*options); });
}

} // namespace corvane::cli
