#include "platform/Platform.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace corvane::platform {

std::filesystem::path homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) {
        return home;
    }
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
        return pw->pw_dir;
    }
    return "/";
}

} // namespace corvane::platform
