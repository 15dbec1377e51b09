#include "sift/Dashboard.h"

#include "baseline/Baseline.h"
#include "capture/DataFolder.h"
#include "util/Ascii.h"
#include "util/Files.h"
#include "util/JsonFile.h"
#include "util/LocalTime.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace corvane::Sift {
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kDash = "—";
constexpr size_t kMaxRogueRows = 10;
constexpr size_t kMaxAccessRows = 200;
// The most frequent culprits; "culprits_total" counts them all.
constexpr size_t kMaxCulpritRows = 200;
constexpr size_t kMaxListRows = 50;

/// The key with the highest count; ties go to the first key in map order.
const std::string* dominantKey(const std::map<std::string, int64_t>& counts) {
    const std::string* best = nullptr;
    int64_t bestCount = 0;
    for (const auto& [key, count] : counts) {
        if (best == nullptr || count > bestCount) {
            best = &key;
            bestCount = count;
        }
    }
    return best;
}

const std::string* dominantKey(const CountMap& maps, const std::string& mac) {
    const auto it = maps.find(mac);
    return it == maps.end() ? nullptr : dominantKey(it->second);
}

std::string orDash(const std::string* text) {
    return text != nullptr ? *text : kDash;
}

std::string orDash(const std::optional<std::string>& text) {
    return text ? *text : kDash;
}

std::string orDash(const std::string& text) {
    return text.empty() ? kDash : text;
}

/// Where the rows of one dashboard list note the log lines behind them.
struct Listing {
    std::vector<RowRefs>& refs;
    const char* list;
};

/// The rows of `items` by descending key (a stable sort: equal keys keep their order), cut
/// to `limit`; only the rows kept are turned into JSON, and their references noted.
template <typename Items, typename Key, typename ToJson, typename RefsOf>
json newestFirst(const Items& items, size_t limit, Key key, ToJson toJson, RefsOf refsOf,
                 Listing listing) {
    std::vector<std::pair<double, const typename Items::value_type*>> order;
    order.reserve(items.size());
    for (const auto& item : items) {
        order.emplace_back(key(item), &item);
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    json rows = json::array();
    for (size_t i = 0; i < order.size() && i < limit; ++i) {
        rows.push_back(toJson(*order[i].second));
        listing.refs.push_back(RowRefs{listing.list, i, refsOf(*order[i].second)});
    }
    return rows;
}

const auto byT = [](const auto& row) { return row.t; };
const auto refsOf = [](const auto& row) -> const std::vector<Ref>& { return row.refs; };
const auto entryRefs = [](const auto& entry) -> const std::vector<Ref>& {
    return entry.second.refs;
};

/// The devices behind the addresses that claim the owner's account, one entry per device
/// tail (an address without one stands alone), the most recently seen first.
json unknownOwnDevices(const std::set<std::string>& claiming, const State& state,
                       std::vector<RowRefs>& refs) {
    struct Device {
        std::set<std::string> macs;
        const std::string* ids = nullptr;
        const std::string* latestMac = nullptr; // the address seen last, whose lines show it
        const Peer* latest = nullptr;
        double first = kMaxDouble;
        double last = 0;
    };
    std::map<std::string, Device> devices;
    for (const auto& mac : claiming) {
        const auto* tail = dominantKey(state.macTail, mac);
        const auto direct = state.dPeer.find(mac);
        const bool isDirect = direct != state.dPeer.end();
        const Peer& peer = isDirect ? direct->second : state.aPeer.at(mac);
        Device& d = devices[tail != nullptr ? *tail : mac];
        d.macs.insert(mac);
        if (d.ids == nullptr) {
            d.ids = dominantKey(isDirect ? state.dAdsid : state.aAdsid, mac);
        }
        d.first = std::min(d.first, peer.first);
        if (d.latest == nullptr || peer.last >= d.last) {
            d.latest = &peer;
            d.latestMac = &mac;
        }
        d.last = std::max(d.last, peer.last);
    }
    return newestFirst(
        devices, kMaxListRows, [](const auto& entry) { return entry.second.last; },
        [](const auto& entry) {
            const Device& d = entry.second;
            const bool tailed = entry.first.size() == 12;
            return json{{"tail", tailed ? entry.first : kDash},
                        {"mac", *d.latestMac},
                        {"macs", d.macs},
                        {"ids", orDash(d.ids)},
                        {"first", util::formatTimestamp(d.first)},
                        {"last", util::formatTimestamp(d.last)}};
        },
        [](const auto& entry) -> const std::vector<Ref>& { return entry.second.latest->refs; },
        Listing{refs, "unknown_own_devices"});
}

json knownDeviceRows(const Baseline::Devices& devices, const std::optional<std::string>& phone) {
    json rows = json::array();
    for (const auto& d : devices.known) {
        rows.push_back({{"tail", d.tail},
                        {"learned", d.learned},
                        {"when", util::formatTimestamp(d.at)},
                        {"phone", phone && d.tail == *phone}});
    }
    return rows;
}

json rogueRows(const std::vector<std::string>& macs, const State& state, bool directLink,
               const std::set<std::string>& claiming, std::vector<RowRefs>& refs) {
    const auto& peers = directLink ? state.dPeer : state.aPeer;
    return newestFirst(
        macs, kMaxRogueRows, [&peers](const std::string& mac) { return peers.at(mac).last; },
        [&](const std::string& mac) {
            const Peer& peer = peers.at(mac);
            const auto* ids = dominantKey(directLink ? state.dAdsid : state.aAdsid, mac);
            return json{{"mac", mac},
                        {"date", peer.lastDate},
                        {"time", peer.lastHMS},
                        {"proximity", directLink ? "0–33 ft" : "33–100 ft"},
                        {"ids", orDash(ids)},
                        {"aid", orDash(dominantKey(state.macAid, mac))},
                        {"owner", state.owner.count(mac) > 0 || claiming.count(mac) > 0},
                        {"tail", orDash(dominantKey(state.macTail, mac))},
                        {"tt", directLink ? "0x10" : "0x04"}};
        },
        [&peers](const std::string& mac) -> const std::vector<Ref>& { return peers.at(mac).refs; },
        Listing{refs, directLink ? "rogue_directlink" : "rogue_awdl"});
}

/// Culprits other than the owner's own accounts: the owner's devices authenticate as the
/// owner too, and must not be listed as accounts controlling the Mac.
json culpritRows(const State& state, const std::set<std::string>& ownAccounts,
                 std::vector<RowRefs>& refs) {
    std::map<std::string, Cul> foreign;
    for (const auto& [id, cul] : state.cul) {
        if (ownAccounts.count(id) == 0) {
            foreign.emplace(id, cul);
        }
    }
    return newestFirst(
        foreign, kMaxCulpritRows,
        [](const auto& entry) { return static_cast<double>(entry.second.occ); },
        [](const auto& entry) {
            const Cul& cul = entry.second;
            return json{{"ids", entry.first},
                        {"aid", orDash(cul.aid)},
                        {"occurrences", cul.occ},
                        {"first", util::formatTimestamp(cul.first)},
                        {"last", util::formatTimestamp(cul.last)}};
        },
        entryRefs, Listing{refs, "culprits"});
}

/// The number of culprit rows before the cut.
int64_t culpritCount(const State& state, const std::set<std::string>& ownAccounts) {
    return std::count_if(state.cul.begin(), state.cul.end(),
                         [&](const auto& entry) { return ownAccounts.count(entry.first) == 0; });
}

json accessRows(const State& state, std::vector<RowRefs>& refs) {
    return newestFirst(
        state.access, kMaxAccessRows, [](const auto& entry) { return entry.second.epoch; },
        [](const auto& entry) {
            const Acc& acc = entry.second;
            return json{{"date", acc.date},    {"time", acc.hms}, {"type", acc.type},
                        {"account", acc.acct}, {"aid", acc.aid},  {"mac", acc.mac}};
        },
        entryRefs, Listing{refs, "access_events"});
}

json pairRows(const State& state, std::vector<RowRefs>& refs) {
    return newestFirst(
        state.pairs, kMaxListRows, byT,
        [](const PairRow& p) {
            return json{{"time", p.time}, {"mac", p.mac},      {"ids", p.ids},
                        {"aid", p.aid},   {"aclv", p.aclv},    {"delta_ms", p.delta},
                        {"cid", p.cid},   {"services", p.svc}, {"screen", p.screen}};
        },
        refsOf, Listing{refs, "provision_pairs"});
}

json kbdRows(const State& state, std::vector<RowRefs>& refs) {
    return newestFirst(
        state.kbd, kMaxListRows, byT,
        [](const KbdRow& k) {
            return json{{"time", k.time}, {"mac", k.mac},      {"ids", k.ids},
                        {"aclv", k.aclv}, {"services", k.svc}, {"selftag", k.selftag}};
        },
        refsOf, Listing{refs, "kbd_evals"});
}

json bleRows(const State& state, std::vector<RowRefs>& refs) {
    return newestFirst(
        state.ble, kMaxListRows, byT,
        [](const BleRow& b) {
            return json{{"time", b.time}, {"nbat", b.nbat}, {"type", "Keyboard (BLE)"}};
        },
        refsOf, Listing{refs, "ble_provisions"});
}

std::string rangeText(const State& state) {
    if (state.minE < state.maxE) {
        return util::formatTimestamp(state.minE) + " — " + util::formatTimestamp(state.maxE);
    }
    if (state.maxE > 0) {
        return util::formatTimestamp(state.maxE);
    }
    return kDash;
}

using TailMap = std::map<std::string, std::set<std::string>>;

/// The tail with the most MACs among `linked`; ties go to the larger MAC set, then to the
/// first tail in order. None when no tail has one of them.
const std::string* mostShared(const TailMap& tailMap, const std::set<std::string>& linked) {
    const std::string* best = nullptr;
    std::pair<size_t, size_t> bestScore{0, 0};
    for (const auto& [tail, macs] : tailMap) {
        const auto shared =
            static_cast<size_t>(std::count_if(macs.begin(), macs.end(), [&linked](const auto& mac) {
                return linked.count(mac) > 0;
            }));
        const std::pair score{shared, macs.size()};
        if (shared > 0 && score > bestScore) {
            best = &tail;
            bestScore = score;
        }
    }
    return best;
}

/// Seconds during which any of `macs` was around: the union of their first-to-last spans.
double timeSeen(const std::set<std::string>& macs, const State& state) {
    std::vector<std::pair<double, double>> spans;
    spans.reserve(macs.size());
    for (const auto& mac : macs) {
        const Peer& peer = state.dPeer.at(mac);
        // A sighting with an undated line starts at 0; it says nothing about how long.
        spans.emplace_back(peer.first > 0 ? peer.first : peer.last, peer.last);
    }
    std::sort(spans.begin(), spans.end());
    double total = 0;
    double covered = -std::numeric_limits<double>::infinity();
    for (const auto& [first, last] : spans) {
        if (last > covered) {
            total += last - std::max(first, covered);
            covered = last;
        }
    }
    return total;
}

/// With no evidence of whose it is, the device seen over the longest time is taken for the
/// owner's: its phone keeps near the Mac, and changing addresses quickly does not make a
/// device stay longer. Ties go to the larger MAC set, then to the first tail in order.
std::string longestSeen(const TailMap& tailMap, const State& state) {
    const std::string* best = nullptr;
    std::pair<double, size_t> bestScore{-1, 0};
    for (const auto& [tail, macs] : tailMap) {
        const std::pair score{timeSeen(macs, state), macs.size()};
        if (score > bestScore) {
            best = &tail;
            bestScore = score;
        }
    }
    return *best;
}

/// Replaces a file unless it already holds exactly these bytes (an idle pass then costs no
/// flush to disk for the files that did not change). Returns whether it wrote.
bool replaceFile(const fs::path& path, const std::string& bytes) {
    if (util::readFile(path, bytes.size()) != bytes) {
        util::writeFileAtomic(path, bytes);
        return true;
    }
    return false;
}

/// The lists in the order their rows are numbered; a list not named here comes after them.
size_t listRank(const std::string& list) {
    static constexpr std::array<std::string_view, 7> order = {
        "rogue_directlink", "rogue_awdl",     "culprits", "access_events",
        "provision_pairs",  "ble_provisions", "kbd_evals"};
    return static_cast<size_t>(std::find(order.begin(), order.end(), list) - order.begin());
}

/// Per hour of the day the analysis keeps: the foreign DirectLink and AWDL addresses, the
/// foreign accounts authenticating as the owner and the access events seen in it.
json timeline(const State& state, const std::vector<std::string>& foreignDirect,
              const std::vector<std::string>& foreignAwdl,
              const std::set<std::string>& ownAccounts, bool pending) {
    // The day that ends with the latest finding: the timeline follows the state alone.
    double latest = state.maxE;
    for (const auto& [id, cul] : state.cul) {
        latest = std::max(latest, cul.last);
    }
    for (const auto& [key, acc] : state.access) {
        latest = std::max(latest, acc.epoch);
    }
    const auto last = static_cast<int64_t>(std::floor(std::min(latest, 1e12) / 3600));
    const int64_t first = last - static_cast<int64_t>(kTimelineHours) + 1;
    const auto series = [&](const auto& each) {
        std::vector<int64_t> counts(kTimelineHours, 0);
        each([&](int64_t hour) {
            if (hour >= first && hour <= last) {
                ++counts[static_cast<size_t>(hour - first)];
            }
        });
        return counts;
    };
    const auto peerHours = [&](const std::map<std::string, Peer>& peers,
                               const std::vector<std::string>& macs) {
        return series([&](const auto& count) {
            for (const auto& mac : pending ? std::vector<std::string>{} : macs) {
                for (const int64_t hour : peers.at(mac).hours) {
                    count(hour);
                }
            }
        });
    };
    return {{"start", util::formatTimestamp(static_cast<double>(first) * 3600)},
            {"start_epoch", first * 3600},
            {"hours", kTimelineHours},
            {"directlink", peerHours(state.dPeer, foreignDirect)},
            {"awdl", peerHours(state.aPeer, foreignAwdl)},
            {"culprits", series([&](const auto& count) {
                 for (const auto& [id, cul] : state.cul) {
                     if (!pending && ownAccounts.count(id) == 0) {
                         for (const int64_t hour : cul.hours) {
                             count(hour);
                         }
                     }
                 }
             })},
            {"access", series([&](const auto& count) {
                 for (const auto& [key, acc] : state.access) {
                     if (acc.epoch > 0) {
                         count(static_cast<int64_t>(std::floor(acc.epoch / 3600)));
                     }
                 }
             })}};
}

} // namespace

OwnerIds readOwnerIds(const fs::path& dataFolder) {
    OwnerIds ids;
    const auto object =
        util::readJsonObject(Baseline::baselinePath(dataFolder), Baseline::kMaxFileBytes);
    if (!object) {
        return ids;
    }
    if (const auto it = object->find("my_device_tail"); it != object->end() && it->is_string()) {
        ids.deviceTail = util::upperAscii(it->get<std::string>());
    }
    if (const auto ble = util::stringArrayAt(*object, "my_ble_mac"); ble && !ble->empty()) {
        ids.bleMac = ble->front();
    }
    if (const auto conn = util::stringArrayAt(*object, "my_conn_mac")) {
        for (const auto& mac : *conn) {
            ids.connMacs.insert(util::upperAscii(mac));
        }
    }
    ids.devices = Baseline::readDevices(*object);
    ids.file = true;
    return ids;
}

namespace {

/// Who the owner is in this state: the tails behind the DirectLink addresses and which of
/// them are the owner's.
struct Resolution {
    TailMap tailMap;                      // each tail with its DirectLink MACs
    std::set<std::string> knownTails;     // the owner's known devices
    bool household = false;               // devices are known: every other is judged by them
    std::optional<std::string> ownerTail; // the owner's phone, when resolved
    std::optional<std::string> adoptTail; // a tail the baseline file should record
    const char* connState = "searching";

    bool ownTail(const std::string* tail) const {
        return tail != nullptr && ((ownerTail && *tail == *ownerTail) || knownTails.count(*tail) > 0);
    }
};

Resolution resolveOwner(const State& state, const OwnerIds& owner) {
    Resolution r;
    // Which device sits behind each DirectLink MAC, by its most frequent tail.
    for (const auto& [mac, peer] : state.dPeer) {
        if (const auto* tail = dominantKey(state.macTail, mac)) {
            r.tailMap[*tail].insert(mac);
        }
    }
    for (const auto& device : owner.devices.known) {
        r.knownTails.insert(device.tail);
    }
    // Once the owner's devices are known, every other device is judged by them, whatever
    // account it announces; before that only the account tells the owner's devices apart.
    r.household = !r.knownTails.empty();
    // A setup that has begun without finding the phone: the analysis waits for it rather
    // than take whichever device is around for the owner's.
    const bool awaitingPhone = owner.file && !owner.bleMac && !owner.deviceTail && !r.household;

    // The owner's device: the recorded tail while it is still seen or proven by tokens; else
    // the tail that shares the most addresses with the owner's connection addresses (token
    // evidence, so it is recorded); else, only inferred, the tail seen over the longest time.
    if (owner.deviceTail &&
        (r.tailMap.count(*owner.deviceTail) > 0 || r.knownTails.count(*owner.deviceTail) > 0)) {
        r.ownerTail = owner.deviceTail;
        r.connState = "confirmed";
    } else if (const auto* linked = mostShared(r.tailMap, owner.connMacs)) {
        r.ownerTail = r.adoptTail = *linked;
        r.connState = "confirmed";
    } else if (!r.tailMap.empty() && !awaitingPhone) {
        r.ownerTail = longestSeen(r.tailMap, state);
        r.connState = "inferred";
    }
    return r;
}

/// The owner's side: the phone's DirectLink MACs (the latest one is its current address) and
/// the owner's accounts, the dominant ones of the owner's devices.
struct OwnSide {
    int64_t phoneMacs = 0;
    const std::string* latestPhoneMac = nullptr;
    std::set<std::string> accounts;

    bool owns(const std::string* id) const { return id != nullptr && accounts.count(*id) > 0; }
};

OwnSide ownSide(const State& state, const OwnerIds& owner, const Resolution& r) {
    OwnSide out;
    double latestLast = -std::numeric_limits<double>::infinity();
    std::map<std::string, std::map<std::string, int64_t>> idsByTail;
    for (const auto& [mac, peer] : state.dPeer) {
        const auto* tail = dominantKey(state.macTail, mac);
        const auto tied = owner.devices.macs.find(mac);
        const std::string* deviceTail =
            r.ownTail(tail) ? tail : tied != owner.devices.macs.end() ? &tied->second : nullptr;
        if (deviceTail == nullptr) {
            continue;
        }
        if (r.ownerTail && *deviceTail == *r.ownerTail) {
            ++out.phoneMacs;
            if (peer.last >= latestLast) {
                latestLast = peer.last;
                out.latestPhoneMac = &mac;
            }
        }
        if (const auto it = state.dAdsid.find(mac); it != state.dAdsid.end()) {
            for (const auto& [id, count] : it->second) {
                idsByTail[*deviceTail][id] += count;
            }
        }
    }
    for (const auto& [tail, ids] : idsByTail) {
        if (r.household || (r.ownerTail && tail == *r.ownerTail)) {
            if (const auto* id = dominantKey(ids)) {
                out.accounts.insert(*id);
            }
        }
    }
    return out;
}

/// The foreign side: DirectLink and AWDL addresses that are not the owner's, and those of
/// them that claim to be the owner.
struct ForeignSide {
    std::vector<std::string> direct; // in MAC order
    std::set<std::string> tails;
    std::vector<std::string> awdl; // AWDL peers that carried a foreign account id, in MAC order
    std::set<std::string> claiming;
};

ForeignSide foreignSide(const State& state, const OwnerIds& owner, const Resolution& r,
                        const OwnSide& own) {
    ForeignSide out;
    // A device the owner has not confirmed that speaks for the owner's account: a stolen
    // account signed in on a stranger's device looks exactly like this.
    const auto claimsOwner = [&](const std::string& mac, const std::string* id) {
        return state.owner.count(mac) > 0 || (r.household && own.owns(id));
    };
    // Without known devices, a MAC that mostly speaks for one of the owner's accounts is
    // taken for the owner's own iPad or Mac, or the phone over AWDL.
    for (const auto& [mac, peer] : state.dPeer) {
        const auto* tail = dominantKey(state.macTail, mac);
        const auto* id = dominantKey(state.dAdsid, mac);
        const bool mine = r.ownTail(tail) ||
                          (tail == nullptr && owner.devices.macs.count(mac) > 0) ||
                          (!r.household && own.owns(id));
        if (mine) {
            continue;
        }
        out.direct.push_back(mac);
        if (tail != nullptr) {
            out.tails.insert(*tail);
        }
        if (claimsOwner(mac, id)) {
            out.claiming.insert(mac);
        }
    }
    for (const auto& [mac, peer] : state.aPeer) {
        const auto* id = dominantKey(state.aAdsid, mac);
        if (id == nullptr) {
            continue;
        }
        if (!own.owns(id)) {
            out.awdl.push_back(mac);
        } else if (r.household && owner.devices.macs.count(mac) == 0) {
            out.awdl.push_back(mac);
            out.claiming.insert(mac);
        }
    }
    return out;
}

/// The accounts seen that are not the owner's; none can be told apart before the owner's are
/// known.
int64_t foreignAccountCount(const State& state, const std::set<std::string>& ownAccounts) {
    if (ownAccounts.empty()) {
        return 0;
    }
    std::set<std::string> accounts;
    for (const auto* maps : {&state.dAdsid, &state.aAdsid}) {
        for (const auto& [mac, counts] : *maps) {
            for (const auto& [id, count] : counts) {
                if (ownAccounts.count(id) == 0) {
                    accounts.insert(id);
                }
            }
        }
    }
    return static_cast<int64_t>(accounts.size());
}

json summaryOf(const State& state, const Resolution& r, const OwnSide& own,
               const ForeignSide& foreign, const char* verdict, double now) {
    // A MAC that is both counts as AWDL only (both lists are in MAC order).
    int64_t foreignDirectOnly = 0;
    for (const auto& mac : foreign.direct) {
        foreignDirectOnly += std::binary_search(foreign.awdl.begin(), foreign.awdl.end(), mac) ? 0 : 1;
    }
    const auto phoneMacs = r.ownerTail ? r.tailMap.find(*r.ownerTail) : r.tailMap.end();
    return {
        {"generated", util::formatIsoUtc(static_cast<int64_t>(std::floor(now)))},
        {"verdict", verdict},
        {"own_device_tail", orDash(r.ownerTail)},
        {"own_accounts", own.accounts},
        {"directlink_macs_total", static_cast<int64_t>(state.dPeer.size())},
        {"your_phone_macs",
         phoneMacs != r.tailMap.end() ? static_cast<int64_t>(phoneMacs->second.size()) : 0},
        {"foreign_directlink_macs", foreignDirectOnly},
        {"foreign_awdl_macs", static_cast<int64_t>(foreign.awdl.size())},
        {"foreign_device_ids", static_cast<int64_t>(foreign.tails.size())},
        {"foreign_accounts", foreignAccountCount(state, own.accounts)},
        {"days", 1},
    };
}

} // namespace

Dashboard deriveDashboard(const State& state, const OwnerIds& owner, double now) {
    Dashboard out;
    const Resolution r = resolveOwner(state, owner);
    out.ownerTail = r.ownerTail;
    out.adoptTail = r.adoptTail;
    const OwnSide own = ownSide(state, owner, r);
    const ForeignSide foreign = foreignSide(state, owner, r, own);
    std::vector<RowRefs> culpritRefs;
    const json culprits = culpritRows(state, own.accounts, culpritRefs);

    const std::string tailText = orDash(r.ownerTail);
    const bool pending = !r.ownerTail;
    const auto directTotal = pending ? 0 : static_cast<int64_t>(foreign.direct.size());
    const auto awdlTotal = pending ? 0 : static_cast<int64_t>(foreign.awdl.size());
    // A foreign account authenticating as the owner is an intrusion of its own, but only
    // the owner's accounts tell a foreign one from the owner's.
    const bool foreignCulprits = !own.accounts.empty() && !culprits.empty();
    const char* verdict = pending                                                 ? "PENDING"
                          : directTotal != 0 || awdlTotal != 0 || foreignCulprits ? "COMPROMISED"
                                                                                  : "CLEAN";
    json yourDevice = {
        {"model", "Your phone"},
        {"identity", tailText},
        {"device_tail", tailText},
        {"ble_mac", owner.bleMac.value_or("")},
        {"conn_mac", own.latestPhoneMac != nullptr ? json::array({*own.latestPhoneMac})
                                                   : json::array()},
        {"conn_count", own.phoneMacs},
        {"conn_state", r.connState},
        {"registered", !pending}};

    const json empty = json::array();
    auto& refs = out.rowRefs;
    out.all = {
        {"date", "ALL"},
        {"range", rangeText(state)},
        {"verdict", verdict},
        {"own_device_tail", tailText},
        {"your_device", std::move(yourDevice)},
        {"rogue_directlink", pending ? empty : rogueRows(foreign.direct, state, true, foreign.claiming, refs)},
        {"rogue_directlink_total", directTotal},
        {"rogue_awdl", pending ? empty : rogueRows(foreign.awdl, state, false, foreign.claiming, refs)},
        {"rogue_awdl_total", awdlTotal},
        {"culprits", pending ? empty : culprits},
        {"culprits_total", pending ? 0 : culpritCount(state, own.accounts)},
        {"access_events", accessRows(state, refs)},
        {"access_events_total", static_cast<int64_t>(state.access.size())},
        {"provision_pairs", pending ? empty : pairRows(state, refs)},
        {"provision_pairs_total", pending ? 0 : state.pairsTotal},
        {"provision_pairs_screen", pending ? 0 : state.pairsScreen},
        {"ble_provisions", pending ? empty : bleRows(state, refs)},
        {"ble_provisions_total", pending ? 0 : state.bleTotal},
        {"kbd_evals", pending ? empty : kbdRows(state, refs)},
        {"kbd_evals_total", pending ? 0 : state.kbdTotal},
        {"unknown_own_devices", pending ? empty : unknownOwnDevices(foreign.claiming, state, refs)},
        {"known_devices", knownDeviceRows(owner.devices, r.ownerTail)},
    };
    if (!pending) {
        refs.insert(refs.end(), culpritRefs.begin(), culpritRefs.end());
    }
    std::stable_sort(refs.begin(), refs.end(), [](const auto& a, const auto& b) {
        return listRank(a.list) < listRank(b.list);
    });
    out.timeline = timeline(state, foreign.direct, foreign.awdl, own.accounts, pending);
    out.days = {{"days", json::array({"ALL"})}};
    out.summary = summaryOf(state, r, own, foreign, verdict, now);
    return out;
}

void writeDashboard(const fs::path& dataFolder, const State& state, const OwnerIds& owner,
                    double now, const util::ReadOnlyFile& log, std::string_view logName,
                    bool stateChanged) {
    const auto dashboard = deriveDashboard(state, owner, now);
    if (dashboard.adoptTail) {
        const std::string& tail = *dashboard.adoptTail;
        Baseline::updateFile(
            dataFolder,
            [&tail](nlohmann::ordered_json& object) {
                const auto it = object.find("my_device_tail");
                if (it != object.end() && it->is_string() &&
                    util::upperAscii(it->get<std::string>()) == tail) {
                    return false;
                }
                object["my_device_tail"] = tail;
                return true;
            },
            /*onlyIfObject=*/true);
    }
    const DataFolder layout(dataFolder);
    const bool rowsChanged = replaceFile(layout.allFile(), util::dumpJson(dashboard.all, 2));
    replaceFile(layout.daysFile(), util::dumpJson(dashboard.days, 2));
    replaceFile(layout.summaryFile(), util::dumpJson(dashboard.summary, 2));
    // The evidence and the timeline follow the state and the rows alone: an idle pass reads
    // no log lines.
    std::error_code ec;
    if (stateChanged || rowsChanged || !fs::exists(layout.evidenceFile(), ec) ||
        !fs::exists(layout.timelineFile(), ec)) {
        util::writeFileAtomic(layout.evidenceFile(),
                              util::dumpJson(evidenceDocument(dashboard.all, dashboard.rowRefs,
                                                              log, state, logName),
                                             1));
        replaceFile(layout.timelineFile(), util::dumpJson(dashboard.timeline, 2));
    }
}

std::optional<std::string> readVerdict(const fs::path& dataFolder) {
    const auto all = util::readJsonObject(DataFolder(dataFolder).allFile(), kMaxDayFileBytes);
    if (!all) {
        return std::nullopt;
    }
    const auto it = all->find("verdict");
    if (it == all->end() || !it->is_string()) {
        return std::nullopt;
    }
    return it->get<std::string>();
}

} // namespace corvane::Sift
