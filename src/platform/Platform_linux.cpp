#include "platform/FullDiskAccess.h"
#include "platform/Platform.h"
#include "platform/PlatformCommon.h"

#include <csignal>
#include <cstdlib>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace corvane::platform {
namespace fs = std::filesystem;

fs::path dataFolder() {
    // XDG: a relative XDG_DATA_HOME is invalid and must be ignored.
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const fs::path base = xdg && *xdg == '/' ? fs::path(xdg) : homeFolder() / ".local/share";
    return base / "CV";
}

fs::path executableDir() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::current_path(ec) : exe.parent_path();
}

fs::path resourcesDir() {
    return executableDir().parent_path() / "resources";
}

fs::path logToolPath() {
    return executableDir() / "corvane-log";
}

std::string fullDiskAccessSettingsUrl() {
    return {}; // reading the system log needs no grant here
}

void endWithParent() {
    const pid_t parent = ::getppid();
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The parent may have gone before the signal was armed.
    if (::getppid() != parent) {
        ::raise(SIGTERM);
    }
}

std::optional<unsigned> peerUid(int socket) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer) {
        return std::nullopt;
    }
    return peer.uid;
}

std::optional<int> runPrivileged(const PrivilegedCommand& command) {
    return spawnAndWait(command.argv);
}

std::optional<std::string> logAccessAdvice() {
    return "This system has no Full Disk Access setting: the log tool reads the system log "
           "when your account may. If the check below fails, ask whoever runs this computer "
           "to let your account read the system log (on most systems, membership of the "
           "\"adm\" or \"systemd-journal\" group), log in again, then press Re-check.";
}

fs::path loginItemPath() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const fs::path base = xdg && *xdg == '/' ? fs::path(xdg) : homeFolder() / ".config";
    return base / "autostart" / "corvane-monitor.desktop";
}

std::string loginItemText(const fs::path& executable) {
    // The Exec key takes a quoted argument: inside it ", `, $ and \ are escaped with a
    // backslash, and, the value being a string, every backslash is then doubled; "%" starts a
    // field code unless doubled.
    std::string quoted = "\"";
    for (const char c : executable.string()) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += "\\\\";
        }
        if (c == '%') {
            quoted += '%';
        }
        quoted += c == '\\' ? std::string("\\\\") : std::string(1, c);
    }
    quoted += '"';
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Corvane Monitor\n"
           "Comment=Watches for devices that connect to this computer as its owner\n"
           "Exec=" +
           quoted +
           "\n"
           "Icon=corvane-monitor\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

} // namespace corvane::platform
