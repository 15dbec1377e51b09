#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <limits>
#include <map>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

/// The analyser's persisted state and its records. Every record is a plain value whose
/// JSON keys are its field names; fields are declared in their file order.
namespace corvane::Sift {

inline constexpr double kMaxDouble = std::numeric_limits<double>::max();

// Writers stay within readers: every list and map below has a cap and every text taken from
// a line has one, so that at all of them at once the state file, the dashboard files and the
// view log stay well under what their readers accept (`kMaxStateFileBytes`,
// `kMaxDayFileBytes`, the pages' limits); the bounds test that saturates them all reads every
// file back.

/// Caps of the state's lists: the oldest entries are dropped from the front.
inline constexpr size_t kMaxRecentRes = 6000;
inline constexpr size_t kMaxPairs = 4000;
inline constexpr size_t kMaxKbd = 3000;
inline constexpr size_t kMaxBle = 3000;
inline constexpr size_t kMaxView = 5000;
/// A view line longer than this is stored cut, with "…" after the cut; the evidence log
/// keeps every byte. Log tool lines take a few hundred bytes; the raw log page shows the
/// first 1000 characters of each, and a full view log at this cap holds 10 MiB.
inline constexpr size_t kMaxViewLineBytes = 2 * 1024;
/// A text field taken from a line (an AID, an access level, services, a client id, a tag) is
/// stored cut to this, with "…" after the cut. Real values take some tens of bytes; without
/// a cap a field could take a whole line (1 MiB), and a dozen such lines would carry the
/// state and the dashboard files past what their readers accept.
inline constexpr size_t kMaxFieldBytes = 256;
/// An AID counted for a MAC is cut to this, with "…" after the cut: the count maps hold up to
/// 64 keys for each of 20,000 MACs, so their keys get a tighter cap than single fields. Real
/// AIDs take 13 bytes, a UUID 36.
inline constexpr size_t kMaxCountKeyBytes = 40;

/// Caps of the state's maps. The 24-hour retention bounds them by a day of activity, and
/// these by what a day of a flood (every line a new device or account, which anyone nearby
/// can send) may add; a household's day is some dozens of entries. Beyond a cap the least
/// recently seen entries go. Each peer map holds at most `kMaxPeers`; the maps keyed by a
/// peer's MAC follow the peers.
inline constexpr size_t kMaxPeers = 10000;
inline constexpr size_t kMaxCulprits = 10000;
inline constexpr size_t kMaxAccess = 10000;
/// Distinct tails, accounts or AIDs counted for one MAC; beyond it the least counted go.
inline constexpr size_t kMaxKeysPerMac = 64;

/// A state file larger than this is corrupt. A state at every cap holds a few tens of MB;
/// the view lines alone reach 10 MiB (5000 lines of 2 KiB), and more once escaped.
inline constexpr uint64_t kMaxStateFileBytes = uint64_t{256} << 20;

using CountMap = std::map<std::string, std::map<std::string, int64_t>>;

/// Where a line of the evidence log lies, so a finding can be checked against the log
/// itself: its number (1-based, counting every line, empty ones too) and the offset of its
/// first byte. Its capture time is the line's own first stamp, read with its text.
struct Ref {
    uint64_t line = 0;
    uint64_t offset = 0;
    bool operator==(const Ref&) const = default;
};

/// A finding keeps the references of its first lines and of its latest ones.
inline constexpr size_t kFirstRefs = 3;
inline constexpr size_t kLastRefs = 2;
/// Hours (seconds since 1970 / 3600) in which a finding was seen: a day and a bit.
inline constexpr size_t kMaxHours = 26;

/// Adds a line's reference, keeping the first `kFirstRefs` and the last `kLastRefs`.
void addRef(std::vector<Ref>& refs, const Ref& ref);
/// Notes the hour of `epoch` (when it is a real time), keeping the latest `kMaxHours`.
void addHour(std::vector<int64_t>& hours, double epoch);

/// A radio-level peer MAC seen by the Continuity daemons.
struct Peer {
    double first = kMaxDouble; // earliest capture epoch
    double last = 0;           // latest capture epoch
    std::string lastHMS;       // capture time of day of the latest sighting
    std::string lastDate;      // capture date of the latest sighting
    int64_t n = 0;             // lines that named the MAC
    std::vector<Ref> refs;
    std::vector<int64_t> hours;
    bool operator==(const Peer&) const = default;
};

/// An account identifier seen authenticating as the owner.
struct Cul {
    std::string aid;
    int64_t occ = 0;
    double first = kMaxDouble;
    double last = 0;
    std::vector<Ref> refs;
    std::vector<int64_t> hours;
    bool operator==(const Cul&) const = default;
};

/// A screen- or keyboard-sharing access event.
struct Acc {
    double epoch = 0;
    std::string date;
    std::string hms;
    std::string type;
    std::string acct;
    std::string aid;
    std::string mac;
    std::vector<Ref> refs;
    bool operator==(const Acc&) const = default;
};

/// A resolution of a peer to an account.
struct Res {
    double t = 0;
    std::string date;
    std::string mac;
    std::string ids;
    std::string aid;
    Ref ref;
    bool operator==(const Res&) const = default;
};

/// A provisioning pair: a connection with an access level tied to a resolution.
struct PairRow {
    double t = 0;
    std::string time;
    std::string mac;
    std::string ids;
    std::string aid;
    std::string aclv;
    std::string delta;
    std::string cid;
    std::string svc;
    bool screen = false;
    std::vector<Ref> refs; // the resolution's line, then the connection's
    bool operator==(const PairRow&) const = default;
};

/// A keyboard-sharing evaluation.
struct KbdRow {
    double t = 0;
    std::string time;
    std::string mac;
    std::string ids;
    std::string aclv;
    std::string svc;
    std::string selftag;
    std::vector<Ref> refs;
    bool operator==(const KbdRow&) const = default;
};

/// A Bluetooth provisioning event.
struct BleRow {
    double t = 0;
    std::string time;
    std::string nbat;
    std::vector<Ref> refs;
    bool operator==(const BleRow&) const = default;
};

/// How many of a log's first bytes tell it from another log.
inline constexpr size_t kLogHeadBytes = 160;

/// Whether a log that now starts with `head` is the one whose start was `stored`: the same
/// bytes, or, for a log shorter than the head then, the same bytes grown.
inline bool sameLogHead(std::string_view stored, std::string_view head) {
    return head == stored || (stored.size() < kLogHeadBytes && head.starts_with(stored));
}

struct State {
    std::string head;    // first (at most kLogHeadBytes) bytes of the log the state belongs to
    uint64_t offset = 0; // bytes of the log consumed; always just after a line feed
    uint64_t lines = 0;  // line feeds among them: the number of the next line is lines + 1
    CountMap macTail;    // MAC → device tail → lines
    std::map<std::string, Peer> dPeer;
    CountMap dAdsid;
    std::map<std::string, Peer> aPeer;
    CountMap aAdsid;
    CountMap macAid;
    std::set<std::string> owner;
    std::map<std::string, Cul> cul;
    std::map<std::string, Acc> access;
    double minE = kMaxDouble;
    double maxE = 0;
    std::deque<Res> recentRes;
    std::deque<PairRow> pairs;
    int64_t pairsTotal = 0;
    int64_t pairsScreen = 0;
    std::deque<KbdRow> kbd;
    int64_t kbdTotal = 0;
    std::deque<BleRow> ble;
    int64_t bleTotal = 0;
    std::deque<std::string> view;
    // The latest clock of a pass that changed this state (seconds since 1970), so a clock set
    // back can be told from one that merely moves on. Older files without it decode as 0.
    double passTime = 0;
    bool operator==(const State&) const = default;
};

/// The state as one JSON object with exactly the field names as keys.
nlohmann::json toJson(const State& state);

/// Strict decode: every key of the state and of every record present with the right JSON
/// type (extra keys ignored), else nothing.
std::optional<State> fromJson(const nlohmann::json& json);

/// The state stored in a file, or the fresh state when it is missing or does not decode.
State loadState(const std::filesystem::path& path);

/// `loadState`, and whether the file held a state saved before line references were kept
/// (an offset without a line count): that state is fresh too, and its log analysed again.
struct LoadedState {
    State state;
    bool older = false;
};
LoadedState loadStateFile(const std::filesystem::path& path);

/// Writes the state to a file (atomic replace). Returns false when it could not be written.
bool saveState(const State& state, const std::filesystem::path& path);

/// Appends to a capped list, dropping the oldest entries from the front. The lists are
/// deques so that a full list costs O(1) per append: the evidence log keeps them at their
/// cap for most of a long re-analysis.
template <typename T> void appendCapped(std::deque<T>& list, T value, size_t cap) {
    list.push_back(std::move(value));
    while (list.size() > cap) {
        list.pop_front();
    }
}

} // namespace corvane::Sift
