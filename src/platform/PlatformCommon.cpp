#include "platform/PlatformCommon.h"

#include "platform/FullDiskAccess.h"
#include "platform/Platform.h"
#include "util/Files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace corvane::platform {

std::vector<std::string> accessProbeArguments() {
    return {"show", "--last", "1s", "--style", "syslog"};
}

std::filesystem::path homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) {
        return home;
    }
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
        return pw->pw_dir;
    }
    return "/";
}

std::optional<int> spawnAndWait(const std::vector<std::string>& argv) {
    if (argv.empty()) {
        return std::nullopt;
    }
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) {
        return std::nullopt;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return std::nullopt;
        }
    }
    if (!WIFEXITED(status)) {
        return std::nullopt;
    }
    return WEXITSTATUS(status);
}

bool startsAtLogin() {
    std::error_code ec;
    return std::filesystem::is_regular_file(loginItemPath(), ec);
}

util::Expected<bool> setStartAtLogin(bool on, const std::filesystem::path& executable) {
    const std::filesystem::path item = loginItemPath();
    std::error_code ec;
    if (!on) {
        std::filesystem::remove(item, ec);
        if (ec) {
            return util::Failure{"can't remove " + item.string(), ec.message()};
        }
        return false;
    }
    // The user's own folder, which a dotfile manager may well have made a link.
    util::createFolders(item.parent_path());
    if (!util::writeFileAtomic(item, loginItemText(executable), util::FolderLink::Follow)) {
        return util::Failure{"can't write " + item.string(), std::strerror(errno)};
    }
    return true;
}

} // namespace corvane::platform
