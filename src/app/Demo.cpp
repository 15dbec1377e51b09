#include "app/Demo.h"

#include <QFile>
#include <fstream>
#include <system_error>

namespace corvane::app {
namespace fs = std::filesystem;

namespace {

// The canned files are compiled in (app.qrc), byte for byte as the dashboard reads them.
constexpr const char* kCannedFiles[] = {"ALL.json", "days.json", "summary.json"};

void writeFile(const fs::path& path, const QByteArray& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.constData(), bytes.size());
}

} // namespace

void clearAnalysisFiles(const fs::path& dataFolder) {
    std::error_code ec;
    fs::directory_iterator entries(dataFolder / "sift", ec);
    if (ec) {
        return;
    }
    std::vector<fs::path> doomed;
    for (const auto& entry : entries) {
        if (entry.path().filename() != "baseline.json") {
            doomed.push_back(entry.path());
        }
    }
    for (const auto& path : doomed) {
        fs::remove_all(path, ec);
    }
}

void writeDemoFiles(const fs::path& dataFolder) {
    std::error_code ec;
    fs::create_directories(dataFolder / "sift", ec);
    clearAnalysisFiles(dataFolder);
    for (const char* name : kCannedFiles) {
        QFile canned(QStringLiteral(":/demo/") + name);
        if (canned.open(QIODevice::ReadOnly)) {
            writeFile(dataFolder / "sift" / name, canned.readAll());
        }
    }
    writeFile(dataFolder / kDemoMarker, "demo");
}

} // namespace corvane::app
