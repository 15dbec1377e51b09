#include "baseline/Baseline.h"

#include "capture/DataFolder.h"
#include "sift/Extract.h"
#include "util/Ascii.h"
#include "util/Files.h"
#include "util/JsonFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <tuple>
#include <utility>

namespace corvane::Baseline {
namespace {

constexpr size_t kMaxCandidates = 40;
constexpr double kCoPresenceSeconds = 15.0;
constexpr int64_t kWeakestOwnerTimeRssi = -70;
constexpr size_t kMaxTokensPerDevice = 64;
/// Readings a cluster needs before its strength says where it is.
constexpr size_t kMinNearReadings = 2;

/// Union-find over the addresses of one clustering call, by index.
class UF {
  public:
    explicit UF(size_t count) : p_(count) {
        for (size_t i = 0; i < count; ++i) {
            p_[i] = i;
        }
    }

    size_t find(size_t x) {
        size_t root = x;
        while (p_[root] != root) {
            root = p_[root];
        }
        while (p_[x] != root) {
            x = std::exchange(p_[x], root);
        }
        return root;
    }

    void unite(size_t a, size_t b) {
        const size_t ra = find(a);
        const size_t rb = find(b);
        if (ra != rb) {
            p_[ra] = rb;
        }
    }

  private:
    std::vector<size_t> p_;
};

/// The statistics of one cluster.
struct C {
    std::set<int64_t> minutes;
    int64_t best = -999;
    std::optional<std::pair<double, std::string>> latest;
    std::vector<int64_t> readings; // every signal strength, for the median
    bool directLink = false;       // a DirectLink line shares one of its tokens
};

/// What the baseline file holds, with the defaults for anything missing or mistyped.
struct Stored {
    std::string mode = "consumer";
    std::vector<std::string> candidates;
    std::vector<std::string> connMacs;
    std::string state = "searching";
    std::optional<std::string> bleMac;
    std::set<std::string> bleTokens; // "my_ble_tokens"
    std::optional<std::string> deviceTail;
    Devices devices;
    bool checked = false; // written by a version that keeps known devices
};

Stored loadStored(const std::filesystem::path& dataFolder) {
    Stored stored;
    const auto object = util::readJsonObject(baselinePath(dataFolder), kMaxFileBytes);
    if (!object) {
        return stored;
    }
    stored.mode = util::stringAt(*object, "mode").value_or(stored.mode);
    stored.candidates = util::stringArrayAt(*object, "conn_candidates").value_or(stored.candidates);
    stored.connMacs = util::stringArrayAt(*object, "my_conn_mac").value_or(stored.connMacs);
    stored.state = util::stringAt(*object, "my_conn_state").value_or(stored.state);
    if (const auto ble = util::stringArrayAt(*object, "my_ble_mac"); ble && !ble->empty()) {
        stored.bleMac = ble->front();
    }
    if (const auto toks = util::stringArrayAt(*object, "my_ble_tokens")) {
        stored.bleTokens.insert(toks->begin(), toks->end());
    }
    if (const auto tail = util::stringAt(*object, "my_device_tail")) {
        stored.deviceTail = util::upperAscii(*tail);
    }
    stored.devices = readDevices(*object);
    const auto known = object->find("known_devices");
    stored.checked = known != object->end() && known->is_array();
    return stored;
}

bool sharesToken(const std::set<std::string>& a, const std::set<std::string>& b) {
    return std::any_of(a.begin(), a.end(), [&](const std::string& t) { return b.count(t) > 0; });
}

/// Whether `epoch` lies within the co-presence distance of some time in `sortedTimes`.
bool nearAny(double epoch, const std::vector<double>& sortedTimes) {
    const auto it =
        std::lower_bound(sortedTimes.begin(), sortedTimes.end(), epoch - kCoPresenceSeconds);
    return it != sortedTimes.end() && std::abs(*it - epoch) <= kCoPresenceSeconds;
}

std::optional<std::string> firstOf(const std::vector<std::string>& list) {
    return list.empty() ? std::nullopt : std::optional(list.front());
}

void appendCapped(std::vector<std::string>& list, const std::string& item, size_t cap) {
    if (std::find(list.begin(), list.end(), item) == list.end()) {
        list.push_back(item);
    }
    if (list.size() > cap) {
        list.erase(list.begin(), list.end() - static_cast<std::ptrdiff_t>(cap));
    }
}

nlohmann::ordered_json devicesJson(const std::vector<KnownDevice>& known) {
    auto out = nlohmann::ordered_json::array();
    for (const KnownDevice& d : known) {
        out.push_back({{"tail", d.tail}, {"tokens", d.tokens}, {"learned", d.learned}, {"at", d.at}});
    }
    return out;
}

KnownDevice* findDevice(std::vector<KnownDevice>& known, const std::string& tail) {
    const auto it = std::find_if(known.begin(), known.end(),
                                 [&tail](const KnownDevice& d) { return d.tail == tail; });
    return it == known.end() ? nullptr : &*it;
}

/// Adds a device, or the tokens of one already known; a full list takes no new device.
void addDevice(std::vector<KnownDevice>& known, const std::string& tail,
               const std::set<std::string>& tokens, const char* learned, double at) {
    KnownDevice* device = findDevice(known, tail);
    if (device == nullptr) {
        if (known.size() >= kMaxKnownDevices) {
            return;
        }
        device = &known.emplace_back(KnownDevice{tail, {}, learned, at});
    }
    for (const std::string& tok : tokens) {
        if (device->tokens.size() >= kMaxTokensPerDevice) {
            break;
        }
        device->tokens.insert(tok);
    }
}

} // namespace

std::filesystem::path baselinePath(const std::filesystem::path& dataFolder) {
    return DataFolder(dataFolder).baselineFile();
}

std::optional<std::string> normalTail(std::string_view text) {
    if (text.size() != 12 || !std::all_of(text.begin(), text.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) != 0;
        })) {
        return std::nullopt;
    }
    return util::upperAscii(std::string(text));
}

Devices readDevices(const nlohmann::json& object) {
    Devices out;
    if (const auto it = object.find("known_devices"); it != object.end() && it->is_array()) {
        for (const auto& entry : *it) {
            if (!entry.is_object() || out.known.size() >= kMaxKnownDevices) {
                continue;
            }
            const auto tail = util::stringAt(entry, "tail");
            const auto normal = tail ? normalTail(*tail) : std::nullopt;
            if (!normal || std::any_of(out.known.begin(), out.known.end(),
                                       [&](const KnownDevice& d) { return d.tail == *normal; })) {
                continue;
            }
            KnownDevice device{*normal, {}, util::stringAt(entry, "learned").value_or("setup"), 0};
            if (const auto toks = util::stringArrayAt(entry, "tokens")) {
                for (const auto& tok : *toks) {
                    if (device.tokens.size() < kMaxTokensPerDevice) {
                        device.tokens.insert(tok);
                    }
                }
            }
            if (const auto at = entry.find("at"); at != entry.end() && at->is_number()) {
                device.at = at->get<double>();
            }
            out.known.push_back(std::move(device));
        }
    }
    if (const auto it = object.find("device_macs"); it != object.end() && it->is_object()) {
        for (const auto& [mac, tail] : it->items()) {
            if (tail.is_string() && out.macs.size() < kMaxDeviceMacs) {
                out.macs.emplace(util::upperAscii(mac), util::upperAscii(tail.get<std::string>()));
            }
        }
    }
    return out;
}

namespace {

/// Rows clustered by shared tokens: each row's cluster root and every cluster's statistics,
/// in the order of the first row with a signal strength (so ties go the same way each run).
struct Clusters {
    std::vector<size_t> rootOf; // per row
    std::map<size_t, C> stats;
    std::vector<size_t> visitOrder;
    std::map<size_t, std::set<std::string>> tokens; // per root
};

Clusters cluster(const std::vector<Row>& rows) {
    // Each address gets an index in the order of its first row.
    std::map<std::string_view, size_t> index;
    std::vector<size_t> rowIndex;
    rowIndex.reserve(rows.size());
    for (const Row& row : rows) {
        rowIndex.push_back(index.try_emplace(row.mac, index.size()).first->second);
    }
    UF uf(index.size());

    std::map<std::string_view, std::vector<size_t>> byToken;
    for (size_t i = 0; i < rows.size(); ++i) {
        for (const std::string& tok : rows[i].toks) {
            byToken[tok].push_back(rowIndex[i]);
        }
    }
    for (const auto& [tok, members] : byToken) {
        for (size_t k = 1; k < members.size(); ++k) {
            uf.unite(members.front(), members[k]);
        }
    }

    Clusters out;
    out.rootOf.reserve(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        out.rootOf.push_back(uf.find(rowIndex[i]));
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        const size_t root = out.rootOf[i];
        if (!row.toks.empty()) {
            out.tokens[root].insert(row.toks.begin(), row.toks.end());
        }
        if (!row.rssi) {
            continue;
        }
        const auto [it, fresh] = out.stats.try_emplace(root);
        if (fresh) {
            out.visitOrder.push_back(root);
        }
        C& c = it->second;
        c.minutes.insert(static_cast<int64_t>(std::trunc(row.epoch / 60.0)));
        c.best = std::max(c.best, *row.rssi);
        c.readings.push_back(*row.rssi);
        if (!c.latest || c.latest->first < row.epoch) {
            c.latest = std::pair(row.epoch, row.mac);
        }
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].tt == "0x10" && !rows[i].toks.empty()) {
            if (const auto it = out.stats.find(out.rootOf[i]); it != out.stats.end()) {
                it->second.directLink = true;
            }
        }
    }
    return out;
}

std::pair<std::optional<std::string>, std::set<std::string>>
membersOf(const std::vector<Row>& rows, const Clusters& clusters, const C* picked, size_t root) {
    if (!picked) {
        return {std::nullopt, {}};
    }
    std::set<std::string> members{picked->latest->second};
    for (size_t i = 0; i < rows.size(); ++i) {
        if (clusters.rootOf[i] == root) {
            members.insert(rows[i].mac);
        }
    }
    return {picked->latest->second, std::move(members)};
}

/// Whether a row ties its cluster to the owner's phone.
using RowFilter = std::function<bool(const Row& row)>;

/// `ownerBLE` among the clusters with a row that `eligible` accepts (all when it is empty).
std::pair<std::optional<std::string>, std::set<std::string>>
pickOwner(const std::vector<Row>& rows, const Clusters& clusters, const RowFilter& eligible) {
    std::set<size_t> eligibleRoots;
    if (eligible) {
        for (size_t i = 0; i < rows.size(); ++i) {
            if (eligible(rows[i])) {
                eligibleRoots.insert(clusters.rootOf[i]);
            }
        }
    }
    const C* picked = nullptr;
    size_t pickedRoot = 0;
    for (const size_t root : clusters.visitOrder) {
        const C& c = clusters.stats.at(root);
        if (!c.latest || (eligible && eligibleRoots.count(root) == 0)) {
            continue;
        }
        if (!picked ||
            std::pair(c.minutes.size(), c.best) > std::pair(picked->minutes.size(), picked->best)) {
            picked = &c;
            pickedRoot = root;
        }
    }
    return membersOf(rows, clusters, picked, pickedRoot);
}

int64_t median(std::vector<int64_t> values) {
    const auto mid = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), mid, values.end());
    return *mid;
}

/// The device tail most often named on the DirectLink lines of `members`; nothing when none
/// names one.
std::optional<std::string> tailOf(const std::vector<Row>& rows, const std::set<std::string>& toks) {
    std::map<std::string, size_t> counts;
    for (const Row& row : rows) {
        if (row.tt == "0x10" && row.tail && sharesToken(row.toks, toks)) {
            ++counts[*row.tail];
        }
    }
    const auto best = std::max_element(counts.begin(), counts.end(), [](const auto& a, const auto& b) {
        return a.second < b.second;
    });
    return best == counts.end() ? std::nullopt : std::optional(best->first);
}

/// The tokens shown with a device tail: those on its lines and those of the clusters they
/// belong to (its Bluetooth advertisements).
std::set<std::string> tokensOfTail(const std::vector<Row>& rows, const Clusters& clusters,
                                   const std::string& tail) {
    std::set<std::string> out;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].tail == tail) {
            if (const auto it = clusters.tokens.find(clusters.rootOf[i]);
                it != clusters.tokens.end()) {
                out.insert(it->second.begin(), it->second.end());
            }
        }
    }
    return out;
}

/// Ties the peer addresses of the window to the known devices: by the tail a line names, or,
/// on a line that names none, by a token of the device.
void tieAddresses(const std::vector<Row>& rows, Devices& devices) {
    std::map<std::string, std::string> ties;
    for (const Row& row : rows) {
        if (!row.tt && !row.account) {
            continue;
        }
        if (row.tail) {
            if (findDevice(devices.known, *row.tail) != nullptr) {
                ties[row.mac] = *row.tail;
            }
            continue;
        }
        for (const KnownDevice& d : devices.known) {
            if (sharesToken(row.toks, d.tokens)) {
                ties[row.mac] = d.tail;
                break;
            }
        }
    }
    if (devices.macs.size() + ties.size() > kMaxDeviceMacs) {
        devices.macs.clear(); // the addresses of the window are the ones in use
    }
    for (auto& [mac, tail] : ties) {
        if (devices.macs.size() < kMaxDeviceMacs) {
            devices.macs[mac] = std::move(tail);
        }
    }
}

/// Everything `refresh` and `learn` write; every other key of the file is kept.
struct Written {
    std::string mode;
    std::optional<std::string> bleMac;
    std::vector<std::string> connMacs;
    std::string state;
    std::vector<std::string> candidates;
    const std::vector<std::string>* nearby = nullptr; // "conn_nearby"
    const std::set<std::string>* bleTokens = nullptr; // "my_ble_tokens"
    std::optional<std::string> deviceTail;            // "my_device_tail", when proven
    const Devices* devices = nullptr;
    std::vector<std::string> demotedTails; // stored identifiers found without evidence
    std::vector<std::string> demotedConn;
};

std::optional<util::Failure> saveWritten(const std::filesystem::path& dataFolder,
                                         const Written& w) {
    return updateFile(
        dataFolder,
        [&](nlohmann::ordered_json& object) {
            object["mode"] = w.mode;
            object["my_ble_mac"] =
                w.bleMac ? std::vector<std::string>{*w.bleMac} : std::vector<std::string>{};
            object["my_conn_mac"] = w.connMacs;
            object["my_conn_state"] = w.state;
            object["conn_candidates"] = w.candidates;
            if (w.nearby != nullptr) {
                object["conn_nearby"] = *w.nearby;
            }
            if (w.bleTokens != nullptr && !w.bleTokens->empty()) {
                object["my_ble_tokens"] = *w.bleTokens;
            }
            if (w.deviceTail) {
                object["my_device_tail"] = *w.deviceTail;
            } else if (!w.demotedTails.empty()) {
                object.erase("my_device_tail");
            }
            if (w.devices != nullptr) {
                object["known_devices"] = devicesJson(w.devices->known);
                object["device_macs"] = w.devices->macs;
            }
            if (!w.demotedTails.empty() || !w.demotedConn.empty()) {
                // Kept for the record only: nothing recognises the owner by these.
                auto& demoted = object["unverified"];
                if (!demoted.is_object()) {
                    demoted = nlohmann::ordered_json::object();
                }
                for (const auto& [key, list] :
                     {std::pair("my_device_tail", &w.demotedTails),
                      std::pair("my_conn_mac", &w.demotedConn)}) {
                    std::vector<std::string> kept;
                    if (const auto old = util::stringArrayAt(demoted, key)) {
                        kept = *old;
                    }
                    for (const auto& item : *list) {
                        appendCapped(kept, item, kMaxCandidates);
                    }
                    demoted[key] = kept;
                }
            }
            return true;
        },
        false);
}

/// `nearPhone` over clusters already built.
std::pair<std::optional<std::string>, std::set<std::string>>
nearPhoneIn(const std::vector<Row>& rows, const Clusters& clusters, bool needEvidence) {
    const C* picked = nullptr;
    size_t pickedRoot = 0;
    std::tuple<bool, int64_t, size_t, int64_t> pickedRank{};
    for (const size_t root : clusters.visitOrder) {
        const C& c = clusters.stats.at(root);
        if (c.readings.size() < kMinNearReadings) {
            continue; // a passer-by's odd strong reading says nothing of where it stays
        }
        const int64_t typical = median(c.readings);
        if (typical < kNearRssi || (needEvidence && !c.directLink)) {
            continue;
        }
        const std::tuple rank{c.directLink, typical, c.minutes.size(), c.best};
        if (!picked || rank > pickedRank) {
            picked = &c;
            pickedRoot = root;
            pickedRank = rank;
        }
    }
    return membersOf(rows, clusters, picked, pickedRoot);
}

/// The phone in the window: the cluster holding its last address or one of its tokens.
/// Whichever device is around most is not: a neighbour's phone present a minute longer, or a
/// stranger's while the owner is away, would otherwise be taken for it. A file that knows
/// neither (a setup that found no phone near, or a file of an older version) takes only a
/// phone near the Mac whose token shows on a DirectLink line to it.
std::pair<std::optional<std::string>, std::set<std::string>>
findPhone(const std::vector<Row>& recent, const Clusters& clusters, const Stored& stored) {
    auto found = pickOwner(recent, clusters, [&stored](const Row& row) {
        return row.mac == stored.bleMac || sharesToken(row.toks, stored.bleTokens);
    });
    if (!found.first && stored.bleTokens.empty()) {
        found = nearPhoneIn(recent, clusters, true);
    }
    return found;
}

/// What the window shows of the phone: its tokens, and when it was near enough to count.
struct Sightings {
    std::set<std::string> tokens;
    std::vector<double> times; // sorted
};

Sightings sightingsOf(const std::vector<Row>& recent, const std::set<std::string>& members) {
    Sightings out;
    for (const Row& row : recent) {
        if (members.count(row.mac) == 0) {
            continue;
        }
        out.tokens.insert(row.toks.begin(), row.toks.end());
        if (!row.rssi || *row.rssi >= kWeakestOwnerTimeRssi) {
            out.times.push_back(row.epoch);
        }
    }
    std::sort(out.times.begin(), out.times.end());
    return out;
}

/// Addresses on DirectLink lines with their rows, in the order of their first row; the
/// phone's own connections are among them, so its cluster members are not left out.
struct DirectAddresses {
    std::vector<std::pair<std::string, std::vector<const Row*>>> list;
    std::map<std::string_view, size_t> index;
};

DirectAddresses directAddresses(const std::vector<Row>& recent) {
    DirectAddresses out;
    for (const Row& row : recent) {
        if (row.tt != "0x10") {
            continue;
        }
        const auto [it, fresh] = out.index.try_emplace(row.mac, out.list.size());
        if (fresh) {
            out.list.emplace_back(row.mac, std::vector<const Row*>{});
        }
        out.list[it->second].second.push_back(&row);
    }
    return out;
}

/// The DirectLink addresses proven the owner's, and those only seen near the phone. Only a
/// token of the phone makes an address the owner's. Being near the phone proves nothing (a
/// laptop on the next desk is near it all day), so addresses seen only close to it in time
/// are recorded apart and never taken for the owner's.
std::pair<std::vector<std::string>, std::vector<std::string>>
classify(const DirectAddresses& directs, const Sightings& phone,
         const std::set<std::string>& members) {
    std::vector<std::string> proven;
    std::vector<std::string> nearby;
    for (const auto& [mac, macRows] : directs.list) {
        const bool sharedToken =
            !phone.tokens.empty() && std::any_of(macRows.begin(), macRows.end(), [&](const Row* r) {
                return sharesToken(r->toks, phone.tokens);
            });
        const auto nearOwner = std::count_if(macRows.begin(), macRows.end(), [&](const Row* r) {
            return nearAny(r->epoch, phone.times);
        });
        if (sharedToken) {
            proven.push_back(mac);
        } else if (members.count(mac) == 0 && nearOwner >= 2) {
            nearby.push_back(mac);
        }
    }
    std::sort(nearby.begin(), nearby.end());
    return {std::move(proven), std::move(nearby)};
}

// The stored identifiers stand only on the phone's tokens. A file of an older version (which
// took them from co-presence or the largest set) is checked once; after that an identifier
// goes when the window contradicts it: the phone's tokens name another tail, or a stored
// address names a device that is not the phone.

/// The phone's tail as the window proves it, else the stored one unless it is demoted (into
/// `demoted`). A proven tail becomes a known device.
std::optional<std::string> recheckTail(const std::vector<Row>& recent, const Clusters& clusters,
                                       Stored& stored, const Sightings& phone,
                                       std::vector<std::string>& demoted, double now) {
    const std::optional<std::string> phoneTail = tailOf(recent, phone.tokens);
    std::optional<std::string> tail = stored.deviceTail;
    if (tail && tail != phoneTail && findDevice(stored.devices.known, *tail) == nullptr &&
        (!stored.checked || phoneTail)) {
        demoted.push_back(*tail);
        tail.reset();
    }
    if (phoneTail) {
        tail = phoneTail;
        addDevice(stored.devices.known, *phoneTail,
                  tokensOfTail(recent, clusters, *phoneTail), "evidence", now);
    }
    return tail;
}

/// The stored connection addresses that stand; the others go into `demoted`.
std::vector<std::string> recheckConnections(const Stored& stored, const DirectAddresses& directs,
                                            const std::vector<std::string>& proven,
                                            const std::optional<std::string>& tail,
                                            std::vector<std::string>& demoted) {
    static const std::vector<const Row*> none;
    std::vector<std::string> kept;
    for (const std::string& mac : stored.connMacs) {
        const bool isProven = std::find(proven.begin(), proven.end(), mac) != proven.end();
        const auto it = directs.index.find(mac);
        const auto& macRows = it == directs.index.end() ? none : directs.list[it->second].second;
        const bool contradicted =
            !isProven && std::any_of(macRows.begin(), macRows.end(), [&](const Row* r) {
                return tail && r->tail && r->tail != tail;
            });
        if (isProven || (stored.checked && !contradicted)) {
            kept.push_back(mac);
        } else {
            demoted.push_back(mac);
        }
    }
    return kept;
}

/// Records the proven addresses among the candidates (the latest `kMaxCandidates`) and
/// returns the state: "confirmed" when one of them was a candidate already, else "locked".
std::string takeConnections(const std::vector<std::string>& proven,
                            std::vector<std::string>& candidates) {
    const std::vector<std::string> before = candidates;
    const auto known = [&](const std::string& mac) {
        return std::find(before.begin(), before.end(), mac) != before.end();
    };
    for (const std::string& mac : proven) {
        if (!known(mac)) {
            candidates.push_back(mac);
        }
    }
    if (candidates.size() > kMaxCandidates) {
        candidates.erase(candidates.begin(),
                         candidates.end() - static_cast<std::ptrdiff_t>(kMaxCandidates));
    }
    return std::any_of(proven.begin(), proven.end(), known) ? "confirmed" : "locked";
}

} // namespace

std::pair<std::optional<std::string>, std::set<std::string>>
ownerBLE(const std::vector<Row>& rows) {
    return pickOwner(rows, cluster(rows), {});
}

std::pair<std::optional<std::string>, std::set<std::string>>
nearPhone(const std::vector<Row>& rows, bool needEvidence) {
    return nearPhoneIn(rows, cluster(rows), needEvidence);
}

Learned learn(const std::filesystem::path& dataFolder, double since, double now) {
    Learned out;
    const std::vector<Row> recent = rows(dataFolder, since);
    const Clusters clusters = cluster(recent);
    const auto [bleMac, members] = nearPhoneIn(recent, clusters, false);
    Stored stored = loadStored(dataFolder);
    if (!bleMac) {
        if (!Baseline::exists(dataFolder)) {
            const Devices none;
            Written w;
            w.mode = "consumer";
            w.state = "searching";
            w.devices = &none;
            out.failure = saveWritten(dataFolder, w);
        }
        return out;
    }
    out.bleMac = bleMac;
    std::set<std::string> phoneToks;
    for (size_t i = 0; i < recent.size(); ++i) {
        if (members.count(recent[i].mac) > 0) {
            phoneToks.insert(recent[i].toks.begin(), recent[i].toks.end());
        }
    }
    out.phoneTail = tailOf(recent, phoneToks);

    // The owner's account, as the phone's own connections announce it.
    std::map<std::string, size_t> accounts;
    for (const Row& row : recent) {
        if (row.tt == "0x10" && row.account && sharesToken(row.toks, phoneToks)) {
            ++accounts[*row.account];
        }
    }
    const auto ownAccount = std::max_element(
        accounts.begin(), accounts.end(), [](const auto& a, const auto& b) { return a.second < b.second; });

    Devices devices = stored.devices;
    if (out.phoneTail) {
        addDevice(devices.known, *out.phoneTail, tokensOfTail(recent, clusters, *out.phoneTail),
                  "setup", now);
    }
    // Every other device that announced the owner's account while the setup ran.
    for (const Row& row : recent) {
        if (row.tt != "0x10" || !row.tail || row.tail == out.phoneTail) {
            continue;
        }
        const bool own = row.ownerTag || (ownAccount != accounts.end() && row.account == ownAccount->first);
        if (own && findDevice(devices.known, *row.tail) == nullptr) {
            addDevice(devices.known, *row.tail, tokensOfTail(recent, clusters, *row.tail), "setup",
                      now);
            out.devices.push_back(*row.tail);
        }
    }
    tieAddresses(recent, devices);
    Written w;
    w.mode = "consumer";
    w.bleMac = bleMac;
    w.state = "searching";
    w.bleTokens = &phoneToks;
    w.deviceTail = out.phoneTail ? out.phoneTail : stored.deviceTail;
    w.devices = &devices;
    out.failure = saveWritten(dataFolder, w);
    return out;
}

std::optional<util::Failure> trust(const std::filesystem::path& dataFolder,
                                   const std::string& tail, double window, double now) {
    const auto normal = normalTail(tail);
    if (!normal) {
        // Quoted in part: the text may come from a page, of any length.
        const std::string shown = Sift::capped(tail, 24);
        return util::Failure{"can't confirm the device", "\"" + shown + "\" is not a device tail"};
    }
    const std::vector<Row> recent = rows(dataFolder, now - window);
    const std::set<std::string> tokens = tokensOfTail(recent, cluster(recent), *normal);
    bool full = false;
    auto failure = updateFile(
        dataFolder,
        [&](nlohmann::ordered_json& object) {
            Devices devices = readDevices(object);
            if (findDevice(devices.known, *normal) != nullptr) {
                return false; // known already: what was recorded stays
            }
            if (devices.known.size() >= kMaxKnownDevices) {
                full = true;
                return false;
            }
            addDevice(devices.known, *normal, tokens, "confirmed", now);
            object["known_devices"] = devicesJson(devices.known);
            return true;
        },
        false);
    if (full) {
        return util::Failure{"can't confirm the device", "the baseline knows " +
                                                           std::to_string(kMaxKnownDevices) +
                                                           " devices already"};
    }
    return failure;
}

std::optional<util::Failure> updateFile(const std::filesystem::path& dataFolder,
                                        const std::function<bool(nlohmann::ordered_json&)>& change,
                                        bool onlyIfObject) {
    const auto path = baselinePath(dataFolder);
    auto object = nlohmann::ordered_json::object();
    const auto text = util::readFile(path, kMaxFileBytes);
    if (text) {
        auto parsed =
            util::nestsWithin(*text)
                ? nlohmann::ordered_json::parse(*text, nullptr, /*allow_exceptions=*/false)
                : nlohmann::ordered_json(nlohmann::ordered_json::value_t::discarded);
        if (parsed.is_object()) {
            object = std::move(parsed);
        } else if (onlyIfObject) {
            return std::nullopt;
        }
    } else if (onlyIfObject) {
        return std::nullopt;
    }
    if (!change(object)) {
        return std::nullopt;
    }
    const std::string changed =
        object.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    if (changed == text) {
        return std::nullopt; // a refresh that found what the file says rewrites nothing
    }
    util::createFolders(path.parent_path());
    // A failed write keeps the previous file; the next evaluation writes again.
    if (!util::writeFileAtomic(path, changed)) {
        return util::Failure{"can't save " + DataFolder::inSift(DataFolder::kBaselineFile),
                             std::strerror(errno)};
    }
    return std::nullopt;
}

std::optional<util::Failure> save(const std::filesystem::path& dataFolder, const std::string& mode,
                                  const std::string& bleMac,
                                  const std::vector<std::string>& connMacs,
                                  const std::string& state,
                                  const std::vector<std::string>& candidates) {
    Written w;
    w.mode = mode;
    w.bleMac = bleMac;
    w.connMacs = connMacs;
    w.state = state;
    w.candidates = candidates;
    return saveWritten(dataFolder, w);
}

bool exists(const std::filesystem::path& dataFolder) {
    std::error_code ec;
    return std::filesystem::exists(baselinePath(dataFolder), ec);
}

Refreshed refresh(const std::filesystem::path& dataFolder, double window, double now) {
    if (!Baseline::exists(dataFolder)) {
        return {std::nullopt, "searching", std::nullopt, std::nullopt};
    }
    Stored stored = loadStored(dataFolder);
    const std::vector<Row> recent = rows(dataFolder, now - window);
    const Clusters clusters = cluster(recent);
    auto [foundMac, members] = findPhone(recent, clusters, stored);
    const std::optional<std::string> bleMac = foundMac ? foundMac : stored.bleMac;
    if (!bleMac) {
        return {firstOf(stored.connMacs), stored.state, std::nullopt, std::nullopt};
    }
    if (!foundMac) {
        members = {*bleMac};
    }
    const Sightings phone = sightingsOf(recent, members);
    const DirectAddresses directs = directAddresses(recent);
    const auto [proven, nearby] = classify(directs, phone, members);

    Written w;
    w.deviceTail = recheckTail(recent, clusters, stored, phone, w.demotedTails, now);
    w.connMacs = recheckConnections(stored, directs, proven, w.deviceTail, w.demotedConn);
    w.state = stored.state;
    w.candidates = stored.candidates;
    if (!proven.empty()) {
        w.state = takeConnections(proven, w.candidates);
        w.connMacs = proven;
        std::sort(w.connMacs.begin(), w.connMacs.end());
    }
    tieAddresses(recent, stored.devices);
    w.mode = stored.mode;
    w.bleMac = bleMac;
    w.nearby = &nearby;
    w.bleTokens = foundMac ? &phone.tokens : &stored.bleTokens;
    w.devices = &stored.devices;
    auto failure = saveWritten(dataFolder, w);
    return {firstOf(w.connMacs), w.state, std::move(failure), bleMac};
}

} // namespace corvane::Baseline
