#pragma once

#include "util/Expected.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

/// Learns the owner's own devices from the evidence log and keeps them in sift/baseline.json.
namespace corvane::Baseline {

/// One usable line of the evidence log.
struct Row {
    std::string mac;               // "AA:BB:CC:DD:EE:FF"
    std::optional<std::string> tt; // "0x10" or "0x04"
    std::optional<int64_t> rssi;   // dBm as written
    std::set<std::string> toks;    // six lower-case hex digits each
    double epoch = 0;              // capture time
    bool iphone = false;           // the line contains "iPhone"
    bool operator==(const Row&) const = default;
};

/// A baseline file larger than this is corrupt: its own keys take a few KB.
inline constexpr uint64_t kMaxFileBytes = uint64_t{4} << 20;

/// sift/baseline.json inside a data folder.
std::filesystem::path baselinePath(const std::filesystem::path& dataFolder);

/// Rows of the evidence log whose capture time is at or after `since`, in file order.
std::vector<Row> rows(const std::filesystem::path& dataFolder, double since);

/// The owner phone's BLE address and the addresses clustered with it.
std::pair<std::optional<std::string>, std::set<std::string>> ownerBLE(const std::vector<Row>& rows);

/// Merges the five baseline keys into sift/baseline.json, keeping every other key. Returns
/// why the file could not be written, if it could not.
std::optional<util::Failure> save(const std::filesystem::path& dataFolder, const std::string& mode,
                                  const std::string& bleMac,
                                  const std::vector<std::string>& connMacs,
                                  const std::string& state,
                                  const std::vector<std::string>& candidates);

/// Whether sift/baseline.json exists.
bool exists(const std::filesystem::path& dataFolder);

struct Refreshed {
    std::optional<std::string> connMac;   ///< the first connection address
    std::string state;                    ///< the state word
    std::optional<util::Failure> failure; ///< why the baseline file could not be saved
    std::optional<std::string> bleMac;    ///< the phone's BLE address the file now names
};

/// Re-evaluates the owner's connection addresses over the last `window` seconds before `now`.
Refreshed refresh(const std::filesystem::path& dataFolder, double window, double now);

/// Read-modify-write of sift/baseline.json: loads the object (an empty one when the file is
/// missing or not an object, unless `onlyIfObject`), lets `change` edit it, and replaces the
/// file atomically when `change` returns true. Every writer of the file goes through here.
/// Returns why the file could not be written, if it could not.
std::optional<util::Failure> updateFile(const std::filesystem::path& dataFolder,
                                        const std::function<bool(nlohmann::ordered_json&)>& change,
                                        bool onlyIfObject);

} // namespace corvane::Baseline
