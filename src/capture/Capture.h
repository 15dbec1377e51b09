#pragma once

#include "platform/Platform.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>

namespace corvane {

/// Streams the system log tool's output into the append-only evidence log
/// `CV_personal.log`, each line stamped with the capture time.
///
/// Confined to the owner's ("main") thread: `start`, `stop` and the published values
/// belong to it. The stream is read on a thread of its own; every change of a published
/// value, wherever it arises, is handed to the injected post function and happens when the
/// owner runs it, in the order posted. The change callback then reports which value changed.
class Capture {
  public:
    using Task = std::function<void()>;
    using PostToMain = std::function<void(Task)>;
    enum class Property { isRunning, lineCount, lastError };
    using ChangeCallback = std::function<void(Property)>;

    /// The filter handed to the log tool, one argument, verbatim.
    static constexpr std::string_view predicate =
        "(process == \"rapportd\" OR process == \"sharingd\" OR process == \"bluetoothd\") AND "
        "(eventMessage CONTAINS \"SameAccountDevice\" OR  eventMessage CONTAINS "
        "\"DeviceAuthTag\" OR  eventMessage CONTAINS \"DirectLink\" OR  eventMessage CONTAINS "
        "\"AcLv\" OR  eventMessage CONTAINS \"AuthTag\" OR  eventMessage CONTAINS "
        "\"NeedsKeyboard\" OR  eventMessage CONTAINS \"Evaluating\" OR  eventMessage CONTAINS "
        "\"EnhancedDiscovery\" OR  eventMessage CONTAINS \"FILE SHARING\" OR  eventMessage "
        "CONTAINS \"RPRemoteDisplayDaemon\")";
    static constexpr std::string_view startMarker = "— CV-APP capture started";
    static constexpr std::string_view stopMarker = "— CV-APP capture stopped";
    static constexpr std::string_view fullDiskAccessError =
        "Can't write the log — grant Full Disk Access to CV-APP.";
    static constexpr std::string_view launchErrorPrefix = "Failed to start log stream: ";
    static constexpr std::string_view busyError =
        "Another capture is already writing this evidence log.";
    /// Followed by the reason a line did not reach the evidence log.
    static constexpr std::string_view writeErrorPrefix = "Can't write the log — ";

    Capture(std::filesystem::path dataFolder, PostToMain postToMain,
            std::filesystem::path logTool = platform::logToolPath());
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    /// The application's data folder (resolved afresh, nothing created).
    static std::filesystem::path dataFolder() { return platform::dataFolder(); }

    /// Begins capturing; the outcome shows in isRunning() and lastError(). Does nothing while
    /// the published isRunning() is true or a stream is still running, so a start straight
    /// after stop() takes effect only once the owner has run the changes stop posted.
    void start();
    /// Writes the stop marker, ends the stream and closes the evidence log.
    void stop();

    bool isRunning() const { return isRunning_; }
    /// Lines that reached the evidence log since construction, markers included.
    int64_t lineCount() const { return lineCount_; }
    const std::optional<std::string>& lastError() const { return lastError_; }
    /// For other errors the owner shows in the same place (the evidence export).
    void setLastError(std::optional<std::string> error);

    void setChangeCallback(ChangeCallback callback) { onChange_ = std::move(callback); }

  private:
    struct Stream;

    std::optional<std::string_view> takeLock();
    void releaseLock();
    std::optional<std::string_view> openLog();
    void closeLog();
    std::optional<std::string> launch();
    int spawn(int output, pid_t& pid) const;
    void readStream(Stream& stream);
    void handleBytes(std::string_view bytes);
    void handleLine(std::string_view line);
    void writePiece(std::string_view piece, bool continuation);
    void finishLine();
    std::string_view repaired(std::string_view line);
    void appendLine(std::string_view text);
    void writeLine(std::string_view text, bool thenClose, bool continuation = false);
    std::optional<int> writeLocked(std::string_view line);
    void followLogPath();
    void countLines(int64_t lines);
    void endStream();

    // Changes of published values: post* from any thread, *Now only inside a posted task.
    void post(Task change);
    void publishRunning(bool running);
    void publishError(std::optional<std::string> error);
    void publishRunningNow(bool running);
    void publishErrorNow(std::optional<std::string> error);
    void notify(Property property);

    const std::filesystem::path dataFolder_;
    const std::filesystem::path logTool_;
    const PostToMain postToMain_;
    ChangeCallback onChange_;

    // Published; touched only by tasks run through postToMain_.
    bool isRunning_ = false;
    int64_t lineCount_ = 0;
    std::optional<std::string> lastError_;

    std::unique_ptr<Stream> stream_; // the held process and its reader; main thread only
    std::string buffer_;             // bytes after the last line feed; the reader's only
    bool continuing_ = false;        // buffer_ continues a line already written in part
    std::string decoded_;            // scratch for lines with ill-formed UTF-8; the reader's

    // The data folder's capture lock while held: the main thread's, but the reader's while
    // it runs (it follows the data folder).
    int lock_ = -1;

    std::mutex outMutex_; // serialises writes to, the close and the reopening of out_
    int out_ = -1;
    bool cut_ = false;  // out_ ends inside a line: the next write begins with a line feed
    bool lost_ = false; // out_ closed because the log at the path could not be reopened

    // Tasks posted by this object hold it weakly: run after its end, they do nothing.
    std::shared_ptr<Capture*> self_ = std::make_shared<Capture*>(this);
};

} // namespace corvane
