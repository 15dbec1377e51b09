#include "platform/Platform.h"
#include "platform/PlatformCommon.h"

#include <mach-o/dyld.h>
#include <unistd.h>
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

std::optional<unsigned> peerUid(int socket) {
    uid_t uid = 0;
    gid_t gid = 0;
    if (::getpeereid(socket, &uid, &gid) != 0) {
        return std::nullopt;
    }
    return uid;
}

std::optional<int> runPrivileged(const PrivilegedCommand& command) {
    return spawnAndWait({"/usr/bin/osascript", "-e", command.appleScript});
}

} // namespace corvane::platform
