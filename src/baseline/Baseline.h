#pragma once

#include "util/Expected.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
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
    // What a peer line (one naming a CUBonjourDevice) says of the device behind the address.
    std::optional<std::string> tail;    // the device tail, upper case
    std::optional<std::string> account; // the quoted account id
    bool ownerTag = false;              // "DeviceAuthTag: owner"
    bool operator==(const Row&) const = default;
};

/// A baseline file larger than this is corrupt: its own keys take a few KB.
inline constexpr uint64_t kMaxFileBytes = uint64_t{4} << 20;

/// A phone advertising weaker than this, as its typical (median) reading, is not beside the
/// Mac: the setup has the phone next to it (on its cable), where readings run from about -65
/// to -40 dBm, while a phone through a wall or in the flat next door reads -75 dBm and less.
inline constexpr int64_t kNearRssi = -70;

/// One of the owner's own devices: its device tail, the authentication tokens seen with it,
/// how it came to be known ("setup": seen with the owner's account while the setup ran;
/// "evidence": the phone's tail, proven later by the phone's tokens; "confirmed": the owner
/// said so) and when (seconds since 1970).
struct KnownDevice {
    std::string tail;
    std::set<std::string> tokens;
    std::string learned;
    double at = 0;
    bool operator==(const KnownDevice&) const = default;
};

/// What the baseline file knows of the owner's devices beyond the phone's keys.
struct Devices {
    std::vector<KnownDevice> known;          ///< "known_devices"
    std::map<std::string, std::string> macs; ///< "device_macs": address → tail of a known device
    bool operator==(const Devices&) const = default;
};

/// At most this many known devices, and this many addresses tied to them.
inline constexpr size_t kMaxKnownDevices = 200;
inline constexpr size_t kMaxDeviceMacs = 2000;

/// The known devices and their addresses in a baseline object; entries of the wrong shape
/// are left out.
Devices readDevices(const nlohmann::json& object);

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

/// The phone among the clusters that advertised near the Mac (a median signal of at least
/// `kNearRssi`), and the addresses clustered with it. Between near clusters, one whose token
/// also showed on a DirectLink line to this Mac wins, then the stronger, and only then the
/// one seen in more minutes. With `needEvidence`, only such a cluster qualifies.
std::pair<std::optional<std::string>, std::set<std::string>>
nearPhone(const std::vector<Row>& rows, bool needEvidence);

/// What the setup's learning step found.
struct Learned {
    std::optional<std::string> bleMac;    ///< the phone's address; none: no phone near the Mac
    std::optional<std::string> phoneTail; ///< the phone's device tail, when its tokens showed it
    std::vector<std::string> devices;     ///< tails of the owner's other devices now known
    std::optional<util::Failure> failure; ///< why the baseline file could not be saved
};

/// The setup's learning step over the lines since `since`: the phone near the Mac, its tail,
/// and every device that announced the owner's account, all written to the baseline file
/// (which keeps the devices it knew). Without a phone, a missing file is started without
/// one, so the analysis waits for the phone rather than guess it.
Learned learn(const std::filesystem::path& dataFolder, double since, double now);

/// The owner confirms the device of `tail` (12 hexadecimal digits) as theirs: it becomes a
/// known device, with the tokens the last `window` seconds of the log show with it. Nothing
/// else in the file changes.
std::optional<util::Failure> trust(const std::filesystem::path& dataFolder,
                                   const std::string& tail, double window, double now);

/// The tail in upper case when it is 12 hexadecimal digits; nothing otherwise.
std::optional<std::string> normalTail(std::string_view text);

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
