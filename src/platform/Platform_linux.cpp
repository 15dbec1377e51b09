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

} // namespace corvane::platform
