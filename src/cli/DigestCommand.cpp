#include "capture/DataFolder.h"
#include "cli/Commands.h"
#include "cli/Progress.h"
#include "cli/SharedOptions.h"
#include "evidence/Seals.h"
#include "util/Files.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace corvane::cli {

void addDigestCommand(CLI::App& app) {
    auto file = std::make_shared<std::string>();
    auto* cmd = app.add_subcommand(
        "digest", "Print the SHA-256 of a file (as shasum -a 256 / sha256sum show it)");
    cmd->add_option("FILE", *file, "The file, typically " + std::string(DataFolder::kEvidenceLog))
        ->required();
    cmd->callback([file] {
        std::optional<std::string> digest;
        {
            Progress bar("sha256", util::fileSize(*file).value_or(0));
            digest = evidence::logDigest(*file, [&bar](uint64_t done) { bar.update(done); });
        }
        if (!digest) {
            const int err = errno;
            std::error_code ec;
            fail("digest", "can't read " + *file,
                 std::filesystem::is_directory(*file, ec) ? "it is a folder" : std::strerror(err));
        }
        std::printf("%s\n", digest->c_str());
    });
}

} // namespace corvane::cli
