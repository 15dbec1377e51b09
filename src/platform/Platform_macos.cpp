#include "platform/Platform.h"
#include "platform/PlatformCommon.h"

#include <mach-o/dyld.h>
#include <system_error>
#include <vector>

namespace corvane::platform {
namespace fs = std::filesystem;

fs::path dataFolder() {
    return homeFolder() / "Library/Application Support/CV";
}

fs::path executableDir() {
    uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    std::vector<char> buf(size + 1, '\0');
    if (_NSGetExecutablePath(buf.data(), &size) != 0) {
        return fs::current_path();
    }
    std::error_code ec;
    const fs::path exe = fs::weakly_canonical(buf.data(), ec);
    return exe.parent_path();
}

fs::path resourcesDir() {
    // Contents/MacOS/<exe> → Contents/Resources
    return executableDir().parent_path() / "Resources";
}

fs::path logToolPath() {
    return "/usr/bin/log";
}

void endWithParent() {}

std::optional<int> runPrivileged(const PrivilegedCommand& command) {
    return spawnAndWait({"/usr/bin/osascript", "-e", command.appleScript});
}

} // namespace corvane::platform
