#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

/// A deterministic simulation of what a Mac's system log says about Continuity traffic,
/// printed the way `log stream --style syslog` prints it:
///
///     2026-10-18 09:14:01.734512-0700  localhost rapportd[412]: (Rapport) [cat] message
///
/// The world: the owner's Mac; the owner's iPhone (a Bluetooth LE address that rotates every
/// ~15 minutes but keeps its authentication tokens, and DirectLink connection addresses that
/// carry the phone's device UUID and the owner's account); after a configurable start, foreign
/// devices and accounts (DirectLink and AWDL peers, identity resolutions followed by
/// connections with an access level, accounts authenticating as the owner, screen and
/// keyboard sharing); and the noise around them (other processes, daemon lines without any
/// word the capture looks for, bare account forms, the odd very long line).
///
/// The same seed and options give the same bytes. Times are written in the process's local
/// time zone (TZ honoured).
namespace corvane::gen {

struct Options {
    uint64_t seed = 1;
    /// First possible event, seconds since 1970 (2026-10-18 09:12:00 Pacific).
    double start = 1792339920;
    /// Seconds after start; next() ends after it.
    double duration = std::numeric_limits<double>::infinity();
    /// Seconds after start when the owner's phone begins to use DirectLink.
    double ownerAfter = 120;
    /// Seconds after start when foreign devices appear.
    double foreignAfter = 300;
    /// Mean rate of the lines next() returns; they come in bursts.
    double linesPerSecond = 3;
    /// Only the lines the capture's log predicate selects.
    bool predicateOnly = false;
    /// The phone's presence alternates in sessions of 10 to 60 minutes.
    bool ownerComesAndGoes = false;
};

class Generator {
  public:
    explicit Generator(const Options& options);
    ~Generator();
    Generator(const Generator&) = delete;
    Generator& operator=(const Generator&) = delete;

    /// The next syslog line (no line feed) and its event time. Event times never decrease.
    /// False once the next event would lie past start + duration.
    bool next(std::string& line, double& eventEpoch);

    /// From now on the owner's phone stays present (ends ownerComesAndGoes).
    void keepOwnerPresent();

  private:
    struct World;
    std::unique_ptr<World> world_;
};

struct EvidenceOptions {
    Options generator{.ownerAfter = 0,
                      .foreignAfter = 0,
                      .linesPerSecond = 4,
                      .predicateOnly = true,
                      .ownerComesAndGoes = true};
    uint64_t maxBytes = 0;          // stop before a line would pass this size (0: no limit)
    uint64_t maxLines = 0;          // stop after this many event lines (0: no limit)
    double ownerActiveMinutes = 20; // the phone is present throughout the log's final minutes
};

/// Writes an evidence log as the capture writes it: a start marker, then one line per event,
/// each "yyyy-MM-dd HH:mm:ss | " (the local capture time, a fraction of a second after the
/// event) followed by the syslog line. Output goes to `sink` in large blocks; a sink that
/// returns false stops the generation, and so does false from this function.
/// At least one of maxBytes and maxLines must be set.
bool generateEvidence(const EvidenceOptions& options,
                      const std::function<bool(std::string_view block)>& sink);

/// `generateEvidence` into a file (replaced); false when it cannot be written.
bool writeEvidenceFile(const std::filesystem::path& path, const EvidenceOptions& options);

/// Every line of a Generator, each followed by a line feed, into a file (replaced); false
/// when it cannot be written. With an endless duration this never ends.
bool writeCaptureFile(const std::filesystem::path& path, const Options& options);

/// `generateEvidence` as a list of lines without their line feeds (for tests and benchmarks
/// that work in memory).
std::vector<std::string> evidenceLines(const EvidenceOptions& options);

/// The start of an evidence log of about `bytes` so that it ends around `now`, at the mean
/// rate of `options`.
double evidenceStartEndingAt(double now, const EvidenceOptions& options);

} // namespace corvane::gen
