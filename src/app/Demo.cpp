#include "app/Demo.h"

#include "capture/DataFolder.h"
#include "util/Files.h"

#include <QFile>
#include <system_error>
#include <vector>

namespace corvane::app {
namespace fs = std::filesystem;

void clearAnalysisFiles(const fs::path& dataFolder) {
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

void writeDemoFiles(const fs::path& dataFolder) {
    const DataFolder layout(dataFolder);
    util::createFolders(layout.sift());
    clearAnalysisFiles(dataFolder);
    // The canned files are compiled in, byte for byte as the dashboard reads them.
    for (const std::string_view name : DataFolder::kDashboardFiles) {
        QFile canned(QStringLiteral(":/demo/") +
                     QString::fromUtf8(name.data(), qsizetype(name.size())));
        if (canned.open(QIODevice::ReadOnly)) {
            const QByteArray bytes = canned.readAll();
            util::writeFileAtomic(layout.sift() / name,
                                  std::string_view(bytes.constData(), size_t(bytes.size())));
        }
    }
    util::writeFileAtomic(layout.demoLog(), "demo");
}

} // namespace corvane::app
