#include "platform/FullDiskAccess.h"
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

std::string fullDiskAccessSettingsUrl() {
    return "x-apple.systempreferences:com.apple.preference.security?Privacy_AllFiles";
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

std::optional<std::string> logAccessAdvice() {
    return std::nullopt;
}

fs::path loginItemPath() {
    return homeFolder() / "Library/LaunchAgents/com.corvane.monitor.plist";
}

std::string loginItemText(const fs::path& executable) {
    std::string path;
    for (const char c : executable.string()) {
        path += c == '&'   ? std::string("&amp;")
                : c == '<' ? std::string("&lt;")
                           : std::string(1, c);
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\"><dict>\n"
           "  <key>Label</key><string>com.corvane.monitor</string>\n"
           "  <key>ProgramArguments</key><array><string>" +
           path +
           "</string></array>\n"
           "  <key>RunAtLoad</key><true/>\n"
           "  <key>ProcessType</key><string>Interactive</string>\n"
           "</dict></plist>\n";
}

} // namespace corvane::platform
