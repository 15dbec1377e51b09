#include "monitor/Operations.h"

#include "capture/DataFolder.h"
#include "evidence/Report.h"
#include "sift/Analysis.h"
#include "util/Files.h"
#include "vault/Vault.h"

#include <system_error>
#include <vector>

namespace corvane::monitor {
namespace fs = std::filesystem;

Baseline::Learned learnOwner(const fs::path& dataFolder, double since, double now) {
    Baseline::Learned learned = Baseline::learn(dataFolder, since, now);
    if (learned.failure) {
        learned.bleMac.reset();
    }
    return learned;
}

std::optional<util::Failure> trustDevice(const fs::path& dataFolder, const std::string& tail,
                                         double now) {
    return Baseline::trust(dataFolder, tail, Sift::kBaselineWindow, now);
}

Baseline::Refreshed evaluateOwner(const fs::path& dataFolder, double now) {
    return Baseline::refresh(dataFolder, Sift::kBaselineWindow, now);
}

void forgetOwner(const fs::path& dataFolder) {
    std::error_code ec;
    fs::remove(DataFolder(dataFolder).baselineFile(), ec);
}

void installPages(const fs::path& dataFolder, const fs::path& resourcesDir) {
    std::error_code ec;
    fs::create_directories(dataFolder, ec);
    for (const std::string_view name : kDashboardPageFiles) {
        const fs::path source = resourcesDir / name;
        if (!fs::is_regular_file(source, ec)) {
            continue;
        }
        const fs::path target = dataFolder / name;
        fs::remove(target, ec);
        fs::copy_file(source, target, ec);
    }
}

bool demoLoaded(const fs::path& dataFolder) {
    std::error_code ec;
    return fs::exists(DataFolder(dataFolder).demoLog(), ec);
}

void resetAnalysis(const fs::path& dataFolder) {
    std::error_code ec;
    fs::directory_iterator entries(DataFolder(dataFolder).sift(), ec);
    if (ec) {
        return;
    }
    std::vector<fs::path> doomed;
    for (const auto& entry : entries) {
        if (entry.path().filename() != DataFolder::kBaselineFile) {
            doomed.push_back(entry.path());
        }
    }
    for (const auto& path : doomed) {
        fs::remove_all(path, ec);
    }
}

void loadDemo(const fs::path& dataFolder,
              const std::function<std::optional<std::string>(std::string_view name)>& canned) {
    const DataFolder layout(dataFolder);
    util::createFolders(layout.sift());
    resetAnalysis(dataFolder);
    for (const std::string_view name : DataFolder::kDashboardFiles) {
        if (const auto bytes = canned(name)) {
            util::writeFileAtomic(layout.sift() / name, *bytes);
        }
    }
    util::writeFileAtomic(layout.demoLog(), "demo");
}

void leaveDemo(const fs::path& dataFolder) {
    std::error_code ec;
    fs::remove(DataFolder(dataFolder).demoLog(), ec);
}

util::Expected<fs::path> report(const fs::path& dataFolder, const std::optional<std::string>& day,
                                const fs::path& vaultFolder, int64_t now) {
    return evidence::makeReport(dataFolder, day, vaultFolder, now);
}

evidence::ExportOutcome exportEvidence(const fs::path& dataFolder, const fs::path& destination,
                                       const evidence::ExportProgress& progress) {
    return evidence::exportEvidence(dataFolder, destination, progress);
}

Removal removeEverything(const fs::path& dataFolder, const fs::path& vaultFolder) {
    Removal removal;
    if (vault::vaultInstalled(vaultFolder)) {
        vault::removeVault();
        removal.vaultRemoved = !vault::vaultInstalled(vaultFolder);
    }
    std::error_code ec;
    fs::remove_all(dataFolder, ec);
    return removal;
}

} // namespace corvane::monitor
