#include "sift/Sift.h"

#include <algorithm>
#include <tuple>
#include <vector>

namespace corvane::Sift {
namespace {

/// Removes the entries of `map` that come first by `evictFirst` until `cap` remain.
template <typename Map, typename Less> bool trimTo(Map& map, size_t cap, Less evictFirst) {
    if (map.size() <= cap) {
        return false;
    }
    std::vector<typename Map::iterator> order;
    order.reserve(map.size());
    for (auto it = map.begin(); it != map.end(); ++it) {
        order.push_back(it);
    }
    const auto cut = order.begin() + static_cast<std::ptrdiff_t>(map.size() - cap);
    std::nth_element(order.begin(), cut, order.end(), evictFirst);
    for (auto it = order.begin(); it != cut; ++it) {
        map.erase(*it);
    }
    return true;
}

/// Least recently seen first; among equal times the larger key, so the result does not
/// depend on the order of the work.
template <typename Map, typename Time> bool keepRecent(Map& map, size_t cap, Time time) {
    return trimTo(map, cap, [&time](const auto& a, const auto& b) {
        return std::tuple(time(a->second), b->first) < std::tuple(time(b->second), a->first);
    });
}

} // namespace

bool trimCounts(std::map<std::string, int64_t>& counts) {
    // Least counted first; among equal counts the later key, so the dominant key (the first
    // of the highest counts) always stays.
    return trimTo(counts, kMaxKeysPerMac, [](const auto& a, const auto& b) {
        return std::tuple(a->second, b->first) < std::tuple(b->second, a->first);
    });
}

void dropOrphans(State& state) {
    const auto known = [&state](const std::string& mac) {
        return state.dPeer.count(mac) > 0 || state.aPeer.count(mac) > 0;
    };
    std::erase_if(state.macTail, [&known](const auto& entry) { return !known(entry.first); });
    std::erase_if(state.macAid, [&known](const auto& entry) { return !known(entry.first); });
    std::erase_if(state.dAdsid,
                  [&state](const auto& entry) { return state.dPeer.count(entry.first) == 0; });
    std::erase_if(state.aAdsid,
                  [&state](const auto& entry) { return state.aPeer.count(entry.first) == 0; });
    std::erase_if(state.owner, [&known](const std::string& mac) { return !known(mac); });
}

bool applyCaps(State& state) {
    const auto last = [](const auto& record) { return record.last; };
    bool changed = keepRecent(state.dPeer, kMaxPeers, last);
    changed = keepRecent(state.aPeer, kMaxPeers, last) || changed;
    // Lines may name a MAC with a tail without making it a peer; such entries wait for
    // retention, or for this once they outnumber every peer there can be.
    if (changed || state.macTail.size() > 2 * kMaxPeers) {
        dropOrphans(state);
        changed = true;
    }
    changed = keepRecent(state.cul, kMaxCulprits, last) || changed;
    changed =
        keepRecent(state.access, kMaxAccess, [](const Acc& acc) { return acc.epoch; }) || changed;
    for (auto* maps : {&state.macTail, &state.dAdsid, &state.aAdsid, &state.macAid}) {
        for (auto& [mac, counts] : *maps) {
            changed = trimCounts(counts) || changed;
        }
    }
    return changed;
}

} // namespace corvane::Sift
