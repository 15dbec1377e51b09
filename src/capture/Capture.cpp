#include "capture/Capture.h"

#include "capture/DataFolder.h"
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
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace corvane {
namespace {

constexpr std::string_view kBlanks = " \t";
constexpr auto kTerminateGrace = std::chrono::seconds(2);
// How often the reader checks that the evidence log's path still names the file it writes.
constexpr int kFollowIntervalMs = 500;
// A line the tool prints longer than this is written in pieces of at most this size, every
// piece after the first as a continuation line, so the capture never holds more of a line.
// The log tool's lines take a few hundred bytes.
constexpr size_t kMaxPieceBytes = size_t{64} << 10;

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

struct WriteOutcome {
    size_t written = 0;
    int error = 0; // why the rest was not written; 0 when everything was
};

/// Writes as much of `bytes` as the file takes (a full disk may take only a part).
WriteOutcome writeAll(int fd, std::string_view bytes) {
    WriteOutcome outcome;
    while (outcome.written < bytes.size()) {
        const ssize_t n =
            ::write(fd, bytes.data() + outcome.written, bytes.size() - outcome.written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            outcome.error = n < 0 ? errno : EIO;
            break;
        }
        outcome.written += static_cast<size_t>(n);
    }
    return outcome;
}

/// Locks an open file for this capture alone, without waiting. The lock belongs to the open
/// file, so it ends with the process however that ends. Closes the file when it fails, with
/// errno EWOULDBLOCK when another capture holds it.
int lockOrClose(int fd) {
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

/// Opens the evidence log for appending, creating it when missing, and locks it; readable
/// too, so its last byte can be looked at. A symbolic link in its place is not followed.
/// -1 with errno set on failure.
int openForAppend(const std::filesystem::path& path) {
    constexpr int flags = O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
    int fd = ::open(path.c_str(), O_RDWR | flags, 0644);
    if (fd < 0 && errno == EACCES) {
        fd = ::open(path.c_str(), O_WRONLY | flags, 0644);
    }
    return lockOrClose(fd);
}

/// Opens and locks the data folder's capture lock file (a link in its place is refused).
int openLockFile(const std::filesystem::path& path) {
    return lockOrClose(::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
}

/// Why a capture may not write, from the errno of a failed open or lock.
std::string_view refusalOf(int error) {
    return error == EWOULDBLOCK ? Capture::busyError : Capture::fullDiskAccessError;
}

/// Whether the file ends inside a line, e.g. one cut off by a full disk. A file that cannot
/// be read back counts as ending with a line feed.
bool endsInsideLine(int fd) {
    struct stat st {};
    char last = '\n';
    return ::fstat(fd, &st) == 0 && st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) == 1 &&
           last != '\n';
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

/// Whether `fd` is the file at `path`.
bool isFileAt(int fd, const std::filesystem::path& path) {
    struct stat atPath {};
    struct stat held {};
    return fd >= 0 && ::lstat(path.c_str(), &atPath) == 0 && ::fstat(fd, &held) == 0 &&
           sameFile(atPath, held);
}

std::string writeError(int error) {
    return std::string(Capture::writeErrorPrefix) + std::strerror(error);
}

/// "yyyy-MM-dd HH:mm:ss | text\n" with the capture time of now, or with " |+ " for a
/// continuation line.
std::string stampedLine(std::string_view text, bool continuation = false) {
    std::string line(19, ' ');
    util::formatLocalDateTime(static_cast<int64_t>(std::time(nullptr)), line.data());
    line.reserve(19 + 4 + text.size() + 1);
    line.append(continuation ? " |+ " : " | ").append(text).push_back('\n');
    return line;
}

/// Where to cut a piece of at most `max` bytes off `text` without splitting a character.
size_t pieceEnd(std::string_view text, size_t max) {
    size_t cut = max;
    while (cut > max - 3 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80 ? max : cut;
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
    if (stream_ || out_ >= 0 || lock_ >= 0) {
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
    if (auto refusal = takeLock()) {
        publishError(std::string(*refusal));
        return;
    }
    if (auto refusal = openLog()) {
        releaseLock();
        publishError(std::string(*refusal));
        return;
    }
    buffer_.clear();
    continuing_ = false;
    if (auto error = launch()) {
        // Nothing will be written: let another capture have the log.
        closeLog();
        releaseLock();
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
    releaseLock();
    publishRunning(false);
}

void Capture::setLastError(std::optional<std::string> error) {
    publishError(std::move(error));
}

/// One writer per evidence log: whoever captures holds an exclusive lock on a file beside
/// it, and on the log it writes (so a lock file deleted or moved away lets no second capture
/// write the same log). Returns why the capture may not start, or nothing once the lock is
/// held.
std::optional<std::string_view> Capture::takeLock() {
    if (lock_ >= 0) {
        return std::nullopt; // still held since a run whose tool ended by itself
    }
    lock_ = openLockFile(DataFolder(dataFolder_).captureLock());
    if (lock_ < 0) {
        return refusalOf(errno);
    }
    return std::nullopt;
}

void Capture::releaseLock() {
    closeFd(lock_);
}

std::optional<std::string_view> Capture::openLog() {
    std::lock_guard lock(outMutex_);
    closeFd(out_); // its lock would refuse the new descriptor's
    lost_ = false;
    const int fd = openForAppend(DataFolder(dataFolder_).evidenceLog());
    if (fd < 0) {
        return refusalOf(errno);
    }
    out_ = fd;
    cut_ = endsInsideLine(fd);
    return std::nullopt;
}

void Capture::closeLog() {
    std::lock_guard lock(outMutex_);
    closeFd(out_);
    lost_ = false;
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
    const auto followInterval = std::chrono::milliseconds(kFollowIntervalMs);
    auto nextFollow = std::chrono::steady_clock::now() + followInterval;
    for (;;) {
        const int ready = ::poll(fds, 2, kFollowIntervalMs);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (const auto now = std::chrono::steady_clock::now(); now >= nextFollow) {
            followLogPath();
            nextFollow = now + followInterval;
        }
        if (ready == 0) {
            continue;
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
    // A last line the tool ended without a line feed is evidence too.
    if (!buffer_.empty() || continuing_) {
        finishLine();
    }
    // The output closes when the tool ends; report the end once the process has ended too.
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(stream.pid), &info, WEXITED | WNOWAIT) != 0 &&
           errno == EINTR) {
    }
    publishRunning(false);
}

void Capture::handleBytes(std::string_view bytes) {
    while (!bytes.empty()) {
        const size_t lf = bytes.find('\n');
        const size_t end = lf == std::string_view::npos ? bytes.size() : lf;
        if (lf != std::string_view::npos && buffer_.empty() && !continuing_ &&
            lf <= kMaxPieceBytes) {
            handleLine(bytes.substr(0, lf)); // the usual line, without a copy
        } else {
            buffer_.append(bytes.substr(0, end));
            while (buffer_.size() > kMaxPieceBytes) {
                const size_t cut = pieceEnd(buffer_, kMaxPieceBytes);
                writePiece(std::string_view(buffer_).substr(0, cut), continuing_);
                buffer_.erase(0, cut);
                continuing_ = true;
            }
            if (lf != std::string_view::npos) {
                finishLine();
            }
        }
        bytes.remove_prefix(lf == std::string_view::npos ? end : lf + 1);
    }
}

void Capture::finishLine() {
    // Once a line is in pieces, each one is written, so that every byte of it is kept; an
    // empty last piece has none to keep.
    if (!continuing_) {
        handleLine(buffer_);
    } else if (!buffer_.empty()) {
        writePiece(buffer_, true);
    }
    buffer_.clear();
    continuing_ = false;
}

std::string_view Capture::repaired(std::string_view line) {
    if (util::isValidUtf8(line)) {
        return line;
    }
    // Evidence is kept: only the bad bytes are replaced, never the whole line dropped.
    decoded_.clear();
    util::appendReplacingInvalidUtf8(decoded_, line);
    return decoded_;
}

void Capture::handleLine(std::string_view line) {
    const std::string_view text = repaired(line);
    if (text.find_first_not_of(kBlanks) != std::string_view::npos) {
        appendLine(text);
    }
}

void Capture::writePiece(std::string_view piece, bool continuation) {
    writeLine(repaired(piece), false, continuation);
}

void Capture::appendLine(std::string_view text) {
    writeLine(text, false);
}

void Capture::writeLine(std::string_view text, bool thenClose, bool continuation) {
    const std::string line = stampedLine(text, continuation);
    bool written = false;
    std::optional<int> error;
    {
        std::lock_guard lock(outMutex_);
        if (out_ >= 0) {
            error = writeLocked(line);
            written = !error;
            if (thenClose) {
                closeFd(out_);
            }
        }
        if (thenClose) {
            lost_ = false;
        }
    }
    if (written) {
        countLines(1);
    }
    if (error) {
        publishError(writeError(*error));
    }
}

/// Appends one stamped line to out_ (held open, outMutex_ held). Returns the error that
/// kept all or part of it from the file. A part that did reach the file is finished with a
/// line feed before the next line, so a cut line never swallows the one after it.
std::optional<int> Capture::writeLocked(std::string_view line) {
    std::string joined;
    std::string_view bytes = line;
    if (cut_) {
        joined.reserve(line.size() + 1);
        joined.push_back('\n');
        joined.append(line);
        bytes = joined;
    }
    const WriteOutcome outcome = writeAll(out_, bytes);
    if (outcome.written > 0) {
        cut_ = bytes[outcome.written - 1] != '\n';
    }
    if (outcome.error != 0) {
        return outcome.error;
    }
    return std::nullopt;
}

/// When the evidence log's path no longer names the file being written (moved, replaced or
/// deleted, alone or with its folder), that file gets the stop marker and the capture goes on
/// in the file at the path, created when missing, after a start marker. The capture lock goes
/// with it: the data folder's lock file and the new log are locked before anything is
/// written there, and when another capture holds either, this one stops and says so. Run by
/// the reader.
void Capture::followLogPath() {
    const std::filesystem::path path = DataFolder(dataFolder_).evidenceLog();
    const std::filesystem::path lockPath = DataFolder(dataFolder_).captureLock();
    int64_t written = 0;
    std::optional<std::string> error;
    bool refused = false;
    {
        std::lock_guard lock(outMutex_);
        if (out_ < 0 && !lost_) {
            return; // stopped
        }
        if (isFileAt(out_, path) && isFileAt(lock_, lockPath)) {
            return;
        }
        if (out_ >= 0) {
            written += writeLocked(stampedLine(stopMarker)) ? 0 : 1;
            closeFd(out_);
        }
        util::createFolders(dataFolder_);
        int err = 0;
        if (!isFileAt(lock_, lockPath)) {
            const int fd = openLockFile(lockPath);
            if (fd < 0) {
                err = errno;
            } else {
                closeFd(lock_);
                lock_ = fd;
            }
        }
        const int fd = err == 0 ? openForAppend(path) : -1;
        if (fd < 0 && err == 0) {
            err = errno;
        }
        if (fd < 0) {
            refused = err == EWOULDBLOCK;
            lost_ = !refused;
            error = refused ? std::string(busyError) : writeError(err);
        } else {
            lost_ = false;
            out_ = fd;
            cut_ = endsInsideLine(fd);
            if (const auto failed = writeLocked(stampedLine(startMarker))) {
                error = writeError(*failed);
            } else {
                ++written;
            }
        }
    }
    if (written > 0) {
        countLines(written);
    }
    if (error) {
        publishError(std::move(error));
    }
    if (refused) {
        // Another capture writes this data folder: this one ends, its error kept.
        post([this] {
            endStream();
            releaseLock();
            publishRunningNow(false);
        });
    }
}

void Capture::countLines(int64_t lines) {
    post([this, lines] {
        lineCount_ += lines;
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
