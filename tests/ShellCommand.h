#pragma once

#include "TempDir.h"
#include "TestConfig.h"

#include <cstdlib>
#include <string>
#include <sys/wait.h>

namespace corvane::test {

struct ShellResult {
    int status = -1;    ///< exit status; -1 when the command did not exit normally
    std::string output; ///< standard output and error together
};

/// Runs a command line with /bin/sh and collects what it prints. Build the line from quoted
/// words (vault::shellQuote) so paths reach the program as they are.
inline ShellResult runShell(const std::string& command) {
    TempDir dir;
    const std::string out = (dir / "output").string();
    const int raw = std::system(("{ " + command + "; } >'" + out + "' 2>&1").c_str());
    ShellResult result;
    result.status = raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.output = readText(out);
    return result;
}

/// Runs the build's `corvane` with `arguments`, words already quoted for the shell.
inline ShellResult runCorvane(const std::string& arguments) {
    return runShell("'" CORVANE_BIN_DIR "/corvane' " + arguments);
}

} // namespace corvane::test
