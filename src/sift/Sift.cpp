#include "sift/Sift.h"

#include "sift/Extract.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace corvane::Sift {
namespace {

constexpr std::string_view kNone = "—";

/// The log tool's first line quotes its whole predicate, every marker included; it is the
/// tool talking, not an event.
constexpr std::string_view kBanner = " | Filtering the log data using ";

// Resolutions more than this before a connection are not its match.
constexpr double kMatchWindow = 0.01;
// The walk over the resolutions stops here; entries a little out of order are skipped
// rather than ending it.
constexpr double kWalkWindow = 1.0;

/// A reused buffer for map keys, so looking up an existing entry allocates nothing.
std::string& scratch(std::string_view text) {
    thread_local std::string buffer;
    buffer.assign(text);
    return buffer;
}

template <typename Map> typename Map::mapped_type& slot(Map& map, std::string_view key) {
    return map.try_emplace(scratch(key)).first->second;
}

void increment(CountMap& map, std::string_view outer, std::string_view inner) {
    auto& counts = slot(map, outer);
    ++slot(counts, inner);
    if (counts.size() > 2 * kMaxKeysPerMac) {
        trimCounts(counts);
    }
}

/// Whether some map holds twice its cap: only a flood gets there.
bool overCaps(const State& state) {
    return state.dPeer.size() > 2 * kMaxPeers || state.aPeer.size() > 2 * kMaxPeers ||
           state.macTail.size() > 4 * kMaxPeers || state.cul.size() > 2 * kMaxCulprits ||
           state.access.size() > 2 * kMaxAccess;
}

/// A text field of a line as the state stores it: "—" when absent, cut when over-long.
std::string orNone(std::optional<std::string_view> value) {
    return capped(value.value_or(kNone), kMaxFieldBytes);
}

std::string joinTokens(const std::vector<std::string>& tokens) {
    if (tokens.empty()) {
        return std::string(kNone);
    }
    std::string out;
    for (const auto& token : tokens) {
        if (!out.empty()) {
            out += " · ";
        }
        out += token;
    }
    return out;
}

/// The per-line values, each looked up at most once and only when a rule asks for it.
class LineValues {
  public:
    explicit LineValues(const LineScan& line) : line_(line) {}

    std::optional<std::string_view> quotedIds() {
        return once(quoted_, [&] { return Sift::quotedIds(line_); });
    }
    std::optional<std::string_view> lineAid() {
        return once(aid_, [&] { return Sift::lineAid(line_); });
    }
    std::optional<std::string_view> accountId() {
        return once(account_, [&] { return Sift::accountId(line_); });
    }
    std::optional<double> eventEpoch() {
        return once(event_, [&] { return Sift::eventEpoch(line_); });
    }
    std::string_view svc() {
        return once(svc_, [&] { return joinTokens(collectFlagTokens(line_)); });
    }

  private:
    template <typename T, typename F> static const T& once(std::optional<T>& slot, F compute) {
        if (!slot) {
            slot.emplace(compute());
        }
        return *slot;
    }

    const LineScan& line_;
    std::optional<std::optional<std::string_view>> quoted_, aid_, account_;
    std::optional<std::optional<double>> event_;
    std::optional<std::string> svc_;
};

struct Line {
    const LineScan& scan;
    Stamp stamp;
    double captureEpoch;
    std::optional<MacText> mac;
    LineValues values;
    Ref ref;

    std::string macOrNone() const { return mac ? std::string(mac->view()) : std::string(kNone); }
};

struct Nearest {
    const Res* res;
    double distance;
};

/// The resolution of `account` closest to `t` within 10 ms; on equal distances the newer.
std::optional<Nearest> nearestResolution(std::string_view account, double t,
                                         const std::deque<Res>& recent) {
    std::optional<Nearest> best;
    double bestDistance = kMaxDouble;
    for (auto it = recent.rbegin(); it != recent.rend(); ++it) {
        if (it->t < t - kWalkWindow) {
            break;
        }
        if (it->t < t - kMatchWindow || it->ids != account) {
            continue;
        }
        const double d = std::abs(it->t - t);
        if (d <= kMatchWindow && d < bestDistance) {
            bestDistance = d;
            best = Nearest{&*it, d};
        }
    }
    return best;
}

void recordPeer(Line& line, State& state) {
    const LineScan& scan = line.scan;
    const bool direct = scan.has(Anchor::DirectLinkType);
    if (!direct && !scan.has(Anchor::Awdl)) {
        return;
    }
    const std::string_view mac = line.mac->view();
    Peer& peer = slot(direct ? state.dPeer : state.aPeer, mac);
    peer.first = std::min(peer.first, line.captureEpoch);
    if (peer.last <= line.captureEpoch) {
        peer.last = line.captureEpoch;
        peer.lastHMS = line.stamp.time;
        peer.lastDate = line.stamp.date;
    }
    ++peer.n;
    addRef(peer.refs, line.ref);
    addHour(peer.hours, line.captureEpoch);
    if (const auto ids = line.values.quotedIds()) {
        increment(direct ? state.dAdsid : state.aAdsid, mac, *ids);
    }
    if (const auto aid = line.values.lineAid()) {
        increment(state.macAid, mac, capped(*aid, kMaxCountKeyBytes));
    }
    if (scan.has(Anchor::OwnerTag)) {
        state.owner.insert(scratch(mac));
    }
}

void recordCulprit(Line& line, State& state) {
    const LineScan& scan = line.scan;
    if (!scan.has(Anchor::SameAccount) || !(scan.has(Anchor::OwnerTag) || scan.contains("owner")) ||
        scan.contains("PairVerify")) {
        return;
    }
    const auto ids = line.values.quotedIds();
    if (!ids) {
        return;
    }
    Cul& cul = slot(state.cul, *ids);
    if (const auto aid = line.values.lineAid()) {
        assignCapped(cul.aid, *aid, kMaxFieldBytes);
    }
    cul.first = std::min(cul.first, line.captureEpoch);
    cul.last = std::max(cul.last, line.captureEpoch);
    ++cul.occ;
    addRef(cul.refs, line.ref);
    addHour(cul.hours, line.captureEpoch);
}

void recordAccess(Line& line, State& state, std::string_view kind, std::string_view type) {
    const auto ids = line.values.quotedIds();
    std::string& key = scratch(line.stamp.date);
    key += '|';
    key += utf8Prefix(line.stamp.time, 5);
    key += kind;
    key += ids.value_or(kNone);
    const auto [it, inserted] = state.access.try_emplace(key);
    if (inserted) {
        it->second = Acc{line.captureEpoch,
                         std::string(line.stamp.date),
                         std::string(line.stamp.time),
                         std::string(type),
                         orNone(ids),
                         orNone(line.values.lineAid()),
                         line.macOrNone(),
                         {}};
    }
    addRef(it->second.refs, line.ref);
}

void recordResolution(Line& line, State& state) {
    const LineScan& scan = line.scan;
    if (!scan.has(Anchor::IdentityDaemon) || !scan.has(Anchor::Resolved) ||
        !scan.has(Anchor::Awdl)) {
        return;
    }
    const auto t = line.values.eventEpoch();
    if (!t) {
        return;
    }
    appendCapped(state.recentRes,
                 Res{*t, std::string(line.stamp.date), line.macOrNone(),
                     orNone(line.values.accountId()), orNone(line.values.lineAid()), line.ref},
                 kMaxRecentRes);
}

void recordPair(Line& line, State& state) {
    const LineScan& scan = line.scan;
    if (!scan.has(Anchor::CLinkD) || !scan.has(Anchor::AcLv) || !scan.contains("connection")) {
        return;
    }
    const auto t = line.values.eventEpoch();
    if (!t) {
        return;
    }
    const auto account = line.values.accountId();
    if (!account) {
        return;
    }
    const auto match = nearestResolution(*account, *t, state.recentRes);
    if (!match) {
        return;
    }
    std::string aclv = capped(accessLevel(scan), kMaxFieldBytes);
    const bool screen =
        aclv.find("Screen") != std::string::npos || aclv.find("Keyboard") != std::string::npos;
    const auto ownAid = line.values.lineAid();
    std::string aid = ownAid && *ownAid != kNone ? orNone(ownAid) : match->res->aid;
    // Written the same whatever the process's locale (the app's follows the user's).
    char delta[64];
    const auto written = std::to_chars(delta, delta + sizeof delta - 1, match->distance * 1000.0,
                                       std::chars_format::fixed, 3);
    *written.ptr = '\0';
    appendCapped(state.pairs,
                 PairRow{*t, formatEventTime(*t), match->res->mac, std::string(*account),
                         std::move(aid), std::move(aclv), delta,
                         orNone(scan.group(patterns().p10, Anchor::ClientCid, 1)),
                         capped(line.values.svc(), kMaxFieldBytes), screen,
                         std::vector<Ref>{match->res->ref, line.ref}},
                 kMaxPairs);
    ++state.pairsTotal;
    if (screen) {
        ++state.pairsScreen;
    }
}

void recordBluetooth(Line& line, State& state) {
    const LineScan& scan = line.scan;
    if (!scan.has(Anchor::NeedsKeyboard) || !scan.contains("bluetoothd")) {
        return;
    }
    const auto t = line.values.eventEpoch();
    if (!t) {
        return;
    }
    appendCapped(
        state.ble,
        BleRow{*t, formatEventTime(*t), orNone(scan.group(patterns().p11, Anchor::NearbyTag, 1)),
               {line.ref}},
        kMaxBle);
    ++state.bleTotal;
}

void recordEvaluation(Line& line, State& state) {
    const LineScan& scan = line.scan;
    if (!scan.has(Anchor::Evaluating) || !scan.has(Anchor::AuthTag) ||
        !scan.contains("from device")) {
        return;
    }
    const auto t = line.values.eventEpoch();
    if (!t) {
        return;
    }
    const auto bleAddress = scan.group(patterns().p13, Anchor::BleAddr, 1);
    appendCapped(
        state.kbd,
        KbdRow{*t, formatEventTime(*t), bleAddress ? std::string(*bleAddress) : line.macOrNone(),
               orNone(line.values.accountId()), capped(accessLevel(scan), kMaxFieldBytes),
               capped(line.values.svc(), kMaxFieldBytes),
               orNone(scan.group(patterns().p14, Anchor::SelfTag, 1)), {line.ref}},
        kMaxKbd);
    ++state.kbdTotal;
}

bool isViewLine(const LineScan& scan) {
    for (const Anchor a : {Anchor::Bonjour, Anchor::DeviceAuthTag, Anchor::Awdl, Anchor::Screen7,
                           Anchor::NeedsKeyboard, Anchor::FoundAwdl, Anchor::FoundDirectLink,
                           Anchor::AcLv, Anchor::AuthTag, Anchor::Evaluating}) {
        if (scan.has(a)) {
            return true;
        }
    }
    return false;
}

} // namespace

void ingestLine(std::string_view text, State& state, LinePlace at) {
    const LineScan scan(text);
    const auto stamp = captureStamp(scan);
    if (!stamp || scan.text().substr(stamp->end).starts_with(kBanner)) {
        return;
    }
    const double epoch = captureEpoch(*stamp);
    Line line{scan,
              *stamp,
              epoch,
              scan.has(Anchor::Bonjour) ? bonjourMac(scan) : std::nullopt,
              LineValues(scan),
              Ref{at.line, at.offset}};

    if (line.mac) {
        if (const auto tail = deviceTail(scan)) {
            increment(state.macTail, line.mac->view(), *tail);
        }
    }
    if (line.captureEpoch > 0) {
        state.minE = std::min(state.minE, line.captureEpoch);
        state.maxE = std::max(state.maxE, line.captureEpoch);
    }
    if (line.mac) {
        recordPeer(line, state);
    }
    recordCulprit(line, state);
    if (scan.has(Anchor::Screen7)) {
        recordAccess(line, state, "|S|", "Screen sharing");
    }
    if (scan.has(Anchor::NeedsKeyboard)) {
        recordAccess(line, state, "|K|", "Keyboard sharing");
    }
    recordResolution(line, state);
    recordPair(line, state);
    recordBluetooth(line, state);
    recordEvaluation(line, state);
    if (isViewLine(scan)) {
        // Most lines are view lines and the list is usually full: the entry that drops out
        // lends its buffer to the new one.
        std::string entry;
        if (state.view.size() >= kMaxView) {
            entry = std::move(state.view.front());
            state.view.pop_front();
        }
        assignCapped(entry, scan.text(), kMaxViewLineBytes);
        appendCapped(state.view, std::move(entry), kMaxView);
    }
    if (overCaps(state)) {
        applyCaps(state);
    }
}

} // namespace corvane::Sift
