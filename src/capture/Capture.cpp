#include "capture/Capture.h"

#include "util/Files.h"
#include "util/LocalTime.h"
#include "util/Utf8.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace corvane {
namespace {

constexpr std::string_view kBlanks = " \t";
constexpr auto kTerminateGrace = std::chrono::seconds(2);

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

bool setCloseOnExec(int fd) {
    return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

/// A pipe whose ends are not inherited by child processes.
std::optional<int> makePipe(int fds[2]) {
    if (::pipe(fds) != 0) {
        return errno;
    }
    if (!setCloseOnExec(fds[0]) || !setCloseOnExec(fds[1])) {
        const int err = errno;
        closeFd(fds[0]);
        closeFd(fds[1]);
        return err;
    }
    return std::nullopt;
}

/// Writes all of `bytes`; false when the file refuses them (the line is then lost).
bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

/// "yyyy-MM-dd HH:mm:ss | text\n" with the capture time of now.
std::string stampedLine(std::string_view text) {
    std::string line(19, ' ');
    util::formatLocalDateTime(static_cast<int64_t>(std::time(nullptr)), line.data());
    line.reserve(19 + 3 + text.size() + 1);
    line.append(" | ").append(text).push_back('\n');
    return line;
}

/// True once the process has ended; it stays unreaped (its id cannot be reused meanwhile).
bool hasEnded(pid_t pid) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return errno != EINTR;
    }
    return info.si_pid != 0;
}

/// Ends the process and everything it started, then reaps it.
void terminateGroup(pid_t pid) {
    ::kill(-pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kTerminateGrace;
    while (std::chrono::steady_clock::now() < deadline) {
        const pid_t r = ::waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) {
            return;
        }
        ::usleep(2000);
    }
    ::kill(-pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

/// The running log tool and the thread that reads its output.
struct Capture::Stream {
    pid_t pid = -1;
    int readFd = -1;
    int wakeRead = -1; // readable once the reader should drain what is left and finish
    int wakeWrite = -1;
    std::thread reader;

    ~Stream() {
        closeFd(readFd);
        closeFd(wakeRead);
        closeFd(wakeWrite);
    }
};

Capture::Capture(std::filesystem::path dataFolder, PostToMain postToMain,
                 std::filesystem::path logTool)
    : dataFolder_(std::move(dataFolder)), logTool_(std::move(logTool)),
      postToMain_(std::move(postToMain)) {}

Capture::~Capture() {
    if (stream_ || out_ >= 0) {
        stop();
    }
}

void Capture::start() {
    // isRunning turns true only when the owner runs the posted change, so a second start
    // just after a launch must also look at the process itself.
    if (isRunning_ || (stream_ && !hasEnded(stream_->pid))) {
        return;
    }
    endStream();
    util::createFolders(dataFolder_);
    if (!openLog()) {
        publishError(std::string(fullDiskAccessError));
        return;
    }
    buffer_.clear();
    if (auto error = launch()) {
        publishError(std::string(launchErrorPrefix) + *error);
        return;
    }
    appendLine(startMarker);
    // The reader starts after the marker, so the stream's first line follows it.
    stream_->reader = std::thread([this, stream = stream_.get()] { readStream(*stream); });
    post([this] {
        publishRunningNow(true);
        publishErrorNow(std::nullopt);
    });
}

void Capture::stop() {
    // The marker and the close are one step under the lock: nothing the tool prints
    // afterwards can land behind the marker.
    writeLine(stopMarker, true);
    endStream();
    publishRunning(false);
}

void Capture::setLastError(std::optional<std::string> error) {
    publishError(std::move(error));
}

bool Capture::openLog() {
    const std::filesystem::path path = dataFolder_ / logFileName;
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    std::lock_guard lock(outMutex_);
    closeFd(out_);
    out_ = fd;
    return true;
}

std::optional<std::string> Capture::launch() {
    auto stream = std::make_unique<Stream>();
    int output[2];
    int wake[2];
    if (auto err = makePipe(output)) {
        return std::strerror(*err);
    }
    stream->readFd = output[0];
    if (auto err = makePipe(wake)) {
        closeFd(output[1]);
        return std::strerror(*err);
    }
    stream->wakeRead = wake[0];
    stream->wakeWrite = wake[1];
    const int err = spawn(output[1], stream->pid);
    closeFd(output[1]);
    if (err != 0) {
        return std::strerror(err);
    }
    stream_ = std::move(stream);
    return std::nullopt;
}

/// Starts the log tool with `output` as its standard output and error, in a process group
/// of its own (so stop reaches whatever it starts), with default signal handling whatever
/// the owner blocks or ignores. Returns 0 or the error number.
int Capture::spawn(int output, pid_t& pid) const {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output, STDERR_FILENO);
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        sigaddset(&defaults, sig);
    }
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                        POSIX_SPAWN_SETPGROUP);

    const std::string tool = logTool_.string();
    const std::string filter(predicate);
    const char* argv[] = {tool.c_str(), "stream",  "--predicate", filter.c_str(),
                          "--info",     "--style", "syslog",      nullptr};
    const int err =
        ::posix_spawn(&pid, tool.c_str(), &actions, &attr, const_cast<char* const*>(argv), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return err;
}

void Capture::readStream(Stream& stream) {
    char chunk[64 * 1024];
    pollfd fds[2] = {{stream.readFd, POLLIN, 0}, {stream.wakeRead, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[1].revents != 0) {
            // Woken by the owner, who has reaped the tool: take what is left, then finish.
            ::fcntl(stream.readFd, F_SETFL, ::fcntl(stream.readFd, F_GETFL) | O_NONBLOCK);
        }
        const ssize_t n = ::read(stream.readFd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        handleBytes({chunk, static_cast<size_t>(n)});
    }
    // The output closes when the tool ends; report the end once the process has ended too.
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(stream.pid), &info, WEXITED | WNOWAIT) != 0 &&
           errno == EINTR) {
    }
    publishRunning(false);
}

void Capture::handleBytes(std::string_view bytes) {
    if (!buffer_.empty()) {
        const size_t lf = bytes.find('\n');
        if (lf == std::string_view::npos) {
            buffer_.append(bytes);
            return;
        }
        buffer_.append(bytes.substr(0, lf));
        handleLine(buffer_);
        buffer_.clear();
        bytes.remove_prefix(lf + 1);
    }
    for (size_t lf; (lf = bytes.find('\n')) != std::string_view::npos;) {
        handleLine(bytes.substr(0, lf));
        bytes.remove_prefix(lf + 1);
    }
    buffer_.assign(bytes);
}

void Capture::handleLine(std::string_view line) {
    std::string_view text = line;
    if (!util::isValidUtf8(line)) {
        // Evidence is kept: only the bad bytes are replaced, never the whole line dropped.
        decoded_.clear();
        util::appendReplacingInvalidUtf8(decoded_, line);
        text = decoded_;
    }
    if (text.find_first_not_of(kBlanks) == std::string_view::npos) {
        return;
    }
    appendLine(text);
}

void Capture::appendLine(std::string_view text) {
    writeLine(text, false);
}

void Capture::writeLine(std::string_view text, bool thenClose) {
    const std::string line = stampedLine(text);
    {
        std::lock_guard lock(outMutex_);
        if (out_ >= 0) {
            writeAll(out_, line);
            if (thenClose) {
                closeFd(out_);
            }
        }
    }
    post([this] {
        ++lineCount_;
        notify(Property::lineCount);
    });
}

void Capture::endStream() {
    if (!stream_) {
        return;
    }
    terminateGroup(stream_->pid);
    if (stream_->reader.joinable()) {
        const char wake = 1;
        writeAll(stream_->wakeWrite, {&wake, 1});
        stream_->reader.join();
    }
    stream_.reset();
}

void Capture::post(Task change) {
    postToMain_([weak = std::weak_ptr<Capture*>(self_), change = std::move(change)] {
        if (weak.lock()) {
            change();
        }
    });
}

void Capture::publishRunning(bool running) {
    post([this, running] { publishRunningNow(running); });
}

void Capture::publishError(std::optional<std::string> error) {
    post([this, error = std::move(error)]() mutable { publishErrorNow(std::move(error)); });
}

void Capture::publishRunningNow(bool running) {
    if (isRunning_ != running) {
        isRunning_ = running;
        notify(Property::isRunning);
    }
}

void Capture::publishErrorNow(std::optional<std::string> error) {
    if (lastError_ != error) {
        lastError_ = std::move(error);
        notify(Property::lastError);
    }
}

void Capture::notify(Property property) {
    if (onChange_) {
        onChange_(property);
    }
}

} // namespace corvane
