#include "baseline/Baseline.h"

#include "capture/DataFolder.h"
#include "util/Files.h"
#include "util/JsonFile.h"

#include <algorithm>
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
};

/// What the baseline file holds, with the defaults for anything missing or mistyped.
struct Stored {
    std::string mode = "consumer";
    std::vector<std::string> candidates;
    std::vector<std::string> connMacs;
    std::string state = "searching";
    std::optional<std::string> bleMac;
    std::set<std::string> bleTokens; // "my_ble_tokens"
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

/// What an evaluation keeps beside the five keys of `save`.
struct Learnt {
    const std::vector<std::string>* nearby = nullptr; // "conn_nearby"
    const std::set<std::string>* bleTokens = nullptr; // "my_ble_tokens"
};

/// The five keys of `save`, and the learnt ones that are given; every other key is kept.
std::optional<util::Failure> saveKeys(const std::filesystem::path& dataFolder,
                                      const std::string& mode, const std::string& bleMac,
                                      const std::vector<std::string>& connMacs,
                                      const std::string& state,
                                      const std::vector<std::string>& candidates,
                                      const Learnt& learnt) {
    return updateFile(
        dataFolder,
        [&](nlohmann::ordered_json& object) {
            object["mode"] = mode;
            object["my_ble_mac"] = std::vector<std::string>{bleMac};
            object["my_conn_mac"] = connMacs;
            object["my_conn_state"] = state;
            object["conn_candidates"] = candidates;
            if (learnt.nearby != nullptr) {
                object["conn_nearby"] = *learnt.nearby;
            }
            if (learnt.bleTokens != nullptr && !learnt.bleTokens->empty()) {
                object["my_ble_tokens"] = *learnt.bleTokens;
            }
            return true;
        },
        false);
}

} // namespace

std::filesystem::path baselinePath(const std::filesystem::path& dataFolder) {
    return DataFolder(dataFolder).baselineFile();
}

namespace {

/// Whether a row ties its cluster to the owner's phone.
using RowFilter = std::function<bool(const Row& row)>;

/// `ownerBLE` among the clusters with a row that `eligible` accepts (all when it is empty).
std::pair<std::optional<std::string>, std::set<std::string>> pickOwner(const std::vector<Row>& rows,
                                                                       const RowFilter& eligible) {
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

    // Clusters are visited in the order of their first row with a signal strength, so that
    // ties go the same way on every run.
    std::map<size_t, C> clusters;
    std::vector<size_t> visitOrder;
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        if (!row.rssi) {
            continue;
        }
        const size_t root = uf.find(rowIndex[i]);
        const auto [it, fresh] = clusters.try_emplace(root);
        if (fresh) {
            visitOrder.push_back(root);
        }
        C& c = it->second;
        c.minutes.insert(static_cast<int64_t>(std::trunc(row.epoch / 60.0)));
        c.best = std::max(c.best, *row.rssi);
        if (!c.latest || c.latest->first < row.epoch) {
            c.latest = std::pair(row.epoch, row.mac);
        }
    }

    std::set<size_t> eligibleRoots;
    if (eligible) {
        for (size_t i = 0; i < rows.size(); ++i) {
            if (eligible(rows[i])) {
                eligibleRoots.insert(uf.find(rowIndex[i]));
            }
        }
    }
    const C* picked = nullptr;
    size_t pickedRoot = 0;
    for (const size_t root : visitOrder) {
        const C& c = clusters.at(root);
        if (!c.latest) {
            continue;
        }
        if (eligible && eligibleRoots.count(root) == 0) {
            continue;
        }
        if (!picked ||
            std::pair(c.minutes.size(), c.best) > std::pair(picked->minutes.size(), picked->best)) {
            picked = &c;
            pickedRoot = root;
        }
    }
    if (!picked) {
        return {std::nullopt, {}};
    }
    std::set<std::string> members{picked->latest->second};
    for (size_t i = 0; i < rows.size(); ++i) {
        if (uf.find(rowIndex[i]) == pickedRoot) {
            members.insert(rows[i].mac);
        }
    }
    return {picked->latest->second, std::move(members)};
}

} // namespace

std::pair<std::optional<std::string>, std::set<std::string>>
ownerBLE(const std::vector<Row>& rows) {
    return pickOwner(rows, {});
}

std::optional<util::Failure> updateFile(const std::filesystem::path& dataFolder,
                                        const std::function<bool(nlohmann::ordered_json&)>& change,
                                        bool onlyIfObject) {
    const auto path = baselinePath(dataFolder);
    auto object = nlohmann::ordered_json::object();
    if (const auto text = util::readFile(path, kMaxFileBytes)) {
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
    util::createFolders(path.parent_path());
    // A failed write keeps the previous file; the next evaluation writes again.
    if (!util::writeFileAtomic(
            path, object.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace))) {
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
    return saveKeys(dataFolder, mode, bleMac, connMacs, state, candidates, {});
}

bool exists(const std::filesystem::path& dataFolder) {
    std::error_code ec;
    return std::filesystem::exists(baselinePath(dataFolder), ec);
}

Refreshed refresh(const std::filesystem::path& dataFolder, double window, double now) {
    if (!Baseline::exists(dataFolder)) {
        return {std::nullopt, "searching", std::nullopt, std::nullopt};
    }
    const Stored stored = loadStored(dataFolder);
    const std::vector<Row> recent = rows(dataFolder, now - window);
    // The phone is the cluster holding its last address or one of its tokens. Whichever
    // device is around most is not: a neighbour's phone present a minute longer, or a
    // stranger's while the owner is away, would otherwise be taken for it. Only a file that
    // knows neither in the window (no tokens learnt yet) falls back on the best cluster.
    const RowFilter isPhone = [&stored](const Row& row) {
        return row.mac == stored.bleMac || sharesToken(row.toks, stored.bleTokens);
    };
    auto [foundMac, foundMembers] = pickOwner(recent, isPhone);
    if (!foundMac && stored.bleTokens.empty()) {
        std::tie(foundMac, foundMembers) = pickOwner(recent, {});
    }

    const std::optional<std::string> bleMac = foundMac ? foundMac : stored.bleMac;
    if (!bleMac) {
        return {firstOf(stored.connMacs), stored.state, std::nullopt, std::nullopt};
    }
    const std::set<std::string> members =
        foundMac ? std::move(foundMembers) : std::set<std::string>{*bleMac};

    std::set<std::string> ownerToks;
    std::vector<double> ownerTimes;
    for (const Row& row : recent) {
        if (members.count(row.mac) == 0) {
            continue;
        }
        ownerToks.insert(row.toks.begin(), row.toks.end());
        if (!row.rssi || *row.rssi >= kWeakestOwnerTimeRssi) {
            ownerTimes.push_back(row.epoch);
        }
    }
    std::sort(ownerTimes.begin(), ownerTimes.end());

    // Addresses on DirectLink lines, in the order of their first row; the phone's own
    // connections are among them, so its cluster members are not left out.
    std::vector<std::pair<std::string, std::vector<const Row*>>> directs;
    std::map<std::string_view, size_t> directIndex;
    for (const Row& row : recent) {
        if (row.tt != "0x10") {
            continue;
        }
        const auto [it, fresh] = directIndex.try_emplace(row.mac, directs.size());
        if (fresh) {
            directs.emplace_back(row.mac, std::vector<const Row*>{});
        }
        directs[it->second].second.push_back(&row);
    }

    // Only a token of the phone makes an address the owner's. Being near the phone proves
    // nothing (a laptop on the next desk is near it all day), so addresses seen only close to
    // it in time are recorded apart and never taken for the owner's.
    std::vector<std::string> newList;
    std::vector<std::string> nearby;
    for (const auto& [mac, macRows] : directs) {
        const bool sharedToken =
            !ownerToks.empty() && std::any_of(macRows.begin(), macRows.end(), [&](const Row* r) {
                return sharesToken(r->toks, ownerToks);
            });
        const auto nearOwner = std::count_if(macRows.begin(), macRows.end(), [&](const Row* r) {
            return nearAny(r->epoch, ownerTimes);
        });
        if (sharedToken) {
            newList.push_back(mac);
        } else if (members.count(mac) == 0 && nearOwner >= 2) {
            nearby.push_back(mac);
        }
    }
    std::sort(nearby.begin(), nearby.end());

    std::vector<std::string> connMacs = stored.connMacs;
    std::string state = stored.state;
    std::vector<std::string> candidates = stored.candidates;
    if (!newList.empty()) {
        const auto known = [&](const std::string& mac) {
            return std::find(stored.candidates.begin(), stored.candidates.end(), mac) !=
                   stored.candidates.end();
        };
        state = std::any_of(newList.begin(), newList.end(), known) ? "confirmed" : "locked";
        for (const std::string& mac : newList) {
            if (!known(mac)) {
                candidates.push_back(mac);
            }
        }
        if (candidates.size() > kMaxCandidates) {
            candidates.erase(candidates.begin(),
                             candidates.end() - static_cast<std::ptrdiff_t>(kMaxCandidates));
        }
        connMacs = newList;
        std::sort(connMacs.begin(), connMacs.end());
    }
    const std::set<std::string>& bleTokens = foundMac ? ownerToks : stored.bleTokens;
    auto failure = saveKeys(dataFolder, stored.mode, *bleMac, connMacs, state, candidates,
                            Learnt{&nearby, &bleTokens});
    return {firstOf(connMacs), state, std::move(failure), bleMac};
}

} // namespace corvane::Baseline
