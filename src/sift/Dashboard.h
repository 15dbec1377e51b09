#pragma once

#include "sift/Evidence.h"
#include "baseline/Baseline.h"
#include "sift/State.h"

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>

/// The dashboard files derived from the analyser state after each live pass.
namespace corvane::Sift {

/// A dashboard file (a day file or days.json) larger than this is corrupt: at their row caps
/// they hold some hundred KB.
inline constexpr uint64_t kMaxDayFileBytes = uint64_t{8} << 20;

/// What the baseline file says about the owner's devices.
struct OwnerIds {
    std::optional<std::string> deviceTail; // "my_device_tail", upper-cased
    std::optional<std::string> bleMac;     // first element of "my_ble_mac"
    std::set<std::string> connMacs;        // "my_conn_mac", each upper-cased
    Baseline::Devices devices;             // "known_devices", "device_macs"
    bool file = false;                     // the file holds an object: the setup has begun
    bool operator==(const OwnerIds&) const = default;
};

/// The owner identifiers of the data folder's baseline file; all absent when the file is
/// missing, unreadable or not an object, and each one absent when its key has the wrong type.
OwnerIds readOwnerIds(const std::filesystem::path& dataFolder);

/// The three dashboard documents of one state, and the tail the baseline file should adopt.
struct Dashboard {
    nlohmann::json all;
    nlohmann::json days;
    nlohmann::json summary;
    std::optional<std::string> ownerTail; // the owner's device tail, when resolved
    std::optional<std::string> adoptTail; // set when the resolution asks to record the tail
    std::vector<RowRefs> rowRefs;          // the lines behind the rows of `all`, in row order
    nlohmann::json timeline;               // the findings per hour
};

/// Derives the dashboard documents of a pruned state as of `now` (seconds since 1970).
/// Pure: reads and writes nothing.
Dashboard deriveDashboard(const State& state, const OwnerIds& owner, double now);

/// Derives the dashboard, records an adopted tail in the baseline file (merging, atomic),
/// then replaces sift/ALL.json, sift/days.json, sift/summary.json, sift/evidence.json and
/// sift/timeline.json, in that order, each atomically. The evidence lines are read from `log`, the analysed
/// log named `logName`, and only when the state changed (`stateChanged`), the rows changed or
/// the file is missing. A file that cannot be written keeps its previous contents.
void writeDashboard(const std::filesystem::path& dataFolder, const State& state,
                    const OwnerIds& owner, double now, const util::ReadOnlyFile& log,
                    std::string_view logName,
                    bool stateChanged);

/// The verdict stored in sift/ALL.json, when it can be read.
std::optional<std::string> readVerdict(const std::filesystem::path& dataFolder);

} // namespace corvane::Sift
