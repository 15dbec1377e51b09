#include "sift/State.h"

#include "util/Files.h"
#include "util/JsonFile.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace corvane::Sift {
namespace {

using nlohmann::json;

// Each record lists its fields once; the encoder and the strict decoder both walk that
// list, so the two can never disagree about a key or its type.
template <typename V, typename P>
void fields(V& v, P& p) requires std::is_same_v<std::remove_const_t<P>, Peer> {
    v("first", p.first);
    v("last", p.last);
    v("lastHMS", p.lastHMS);
    v("lastDate", p.lastDate);
    v("n", p.n);
    v("refs", p.refs);
    v("hours", p.hours);
}

template <typename V, typename C>
void fields(V& v, C& c) requires std::is_same_v<std::remove_const_t<C>, Cul> {
    v("aid", c.aid);
    v("occ", c.occ);
    v("first", c.first);
    v("last", c.last);
    v("refs", c.refs);
    v("hours", c.hours);
}

template <typename V, typename A>
void fields(V& v, A& a) requires std::is_same_v<std::remove_const_t<A>, Acc> {
    v("epoch", a.epoch);
    v("date", a.date);
    v("hms", a.hms);
    v("type", a.type);
    v("acct", a.acct);
    v("aid", a.aid);
    v("mac", a.mac);
    v("refs", a.refs);
}

template <typename V, typename R>
void fields(V& v, R& r) requires std::is_same_v<std::remove_const_t<R>, Res> {
    v("t", r.t);
    v("date", r.date);
    v("mac", r.mac);
    v("ids", r.ids);
    v("aid", r.aid);
    v("ref", r.ref);
}

template <typename V, typename R>
void fields(V& v, R& r) requires std::is_same_v<std::remove_const_t<R>, PairRow> {
    v("t", r.t);
    v("time", r.time);
    v("mac", r.mac);
    v("ids", r.ids);
    v("aid", r.aid);
    v("aclv", r.aclv);
    v("delta", r.delta);
    v("cid", r.cid);
    v("svc", r.svc);
    v("screen", r.screen);
    v("refs", r.refs);
}

template <typename V, typename R>
void fields(V& v, R& r) requires std::is_same_v<std::remove_const_t<R>, KbdRow> {
    v("t", r.t);
    v("time", r.time);
    v("mac", r.mac);
    v("ids", r.ids);
    v("aclv", r.aclv);
    v("svc", r.svc);
    v("selftag", r.selftag);
    v("refs", r.refs);
}

template <typename V, typename R>
void fields(V& v, R& r) requires std::is_same_v<std::remove_const_t<R>, BleRow> {
    v("t", r.t);
    v("time", r.time);
    v("nbat", r.nbat);
    v("refs", r.refs);
}

template <typename V, typename S>
void fields(V& v, S& s) requires std::is_same_v<std::remove_const_t<S>, State> {
    v("head", s.head);
    v("offset", s.offset);
    v("lines", s.lines);
    v("macTail", s.macTail);
    v("dPeer", s.dPeer);
    v("dAdsid", s.dAdsid);
    v("aPeer", s.aPeer);
    v("aAdsid", s.aAdsid);
    v("macAid", s.macAid);
    v("owner", s.owner);
    v("cul", s.cul);
    v("access", s.access);
    v("minE", s.minE);
    v("maxE", s.maxE);
    v("recentRes", s.recentRes);
    v("pairs", s.pairs);
    v("pairsTotal", s.pairsTotal);
    v("pairsScreen", s.pairsScreen);
    v("kbd", s.kbd);
    v("kbdTotal", s.kbdTotal);
    v("ble", s.ble);
    v("bleTotal", s.bleTotal);
    v("view", s.view);
}

// ---- encoding ----

json encode(double v) {
    return v;
}
json encode(int64_t v) {
    return v;
}
json encode(uint64_t v) {
    return v;
}
json encode(bool v) {
    return v;
}
json encode(const std::string& v) {
    return v;
}
template <typename R> json encode(const R& record);

// A reference is stored as [line, offset], and a record's references as one flat array of
// such pairs: the state holds tens of thousands of them, and every pass reads it whole.
json encode(const Ref& ref) {
    return json::array({ref.line, ref.offset});
}
json encode(const std::vector<Ref>& refs) {
    json out = json::array();
    out.get_ref<json::array_t&>().reserve(2 * refs.size());
    for (const Ref& ref : refs) {
        out.push_back(ref.line);
        out.push_back(ref.offset);
    }
    return out;
}

template <typename T> json encode(const std::map<std::string, T>& map) {
    json out = json::object();
    for (const auto& [key, value] : map) {
        out[key] = encode(value);
    }
    return out;
}

json encode(const std::set<std::string>& set) {
    json out = json::array();
    for (const auto& member : set) {
        out.push_back(member);
    }
    return out;
}

template <typename List> json encodeList(const List& list) {
    json out = json::array();
    for (const auto& item : list) {
        out.push_back(encode(item));
    }
    return out;
}
template <typename T> json encode(const std::vector<T>& list) {
    return encodeList(list);
}
template <typename T> json encode(const std::deque<T>& list) {
    return encodeList(list);
}

struct Encoder {
    json& out;
    template <typename T> void operator()(const char* key, const T& value) {
        out[key] = encode(value);
    }
};

template <typename R> json encode(const R& record) {
    json out = json::object();
    Encoder e{out};
    fields(e, record);
    return out;
}

// ---- strict decoding ----

bool decode(const json& j, double& out) {
    if (!j.is_number()) { // an integer literal is a valid float too
        return false;
    }
    out = j.get<double>();
    return true;
}

bool decode(const json& j, int64_t& out) {
    if (j.is_number_unsigned()) {
        const auto u = j.get<uint64_t>();
        if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            return false;
        }
        out = static_cast<int64_t>(u);
        return true;
    }
    if (j.is_number_integer()) {
        out = j.get<int64_t>();
        return true;
    }
    return false;
}

bool decode(const json& j, uint64_t& out) {
    if (j.is_number_unsigned()) {
        out = j.get<uint64_t>();
        return true;
    }
    if (j.is_number_integer() && j.get<int64_t>() >= 0) {
        out = static_cast<uint64_t>(j.get<int64_t>());
        return true;
    }
    return false;
}

bool decode(const json& j, bool& out) {
    if (!j.is_boolean()) {
        return false;
    }
    out = j.get<bool>();
    return true;
}

bool decode(const json& j, std::string& out) {
    if (!j.is_string()) {
        return false;
    }
    out = j.get_ref<const std::string&>();
    return true;
}

template <typename R> bool decode(const json& j, R& record);

bool decodeRef(const json& j, size_t at, Ref& out) {
    return decode(j[at], out.line) && decode(j[at + 1], out.offset);
}
bool decode(const json& j, Ref& out) {
    return j.is_array() && j.size() == 2 && decodeRef(j, 0, out);
}
bool decode(const json& j, std::vector<Ref>& out) {
    if (!j.is_array() || j.size() % 2 != 0) {
        return false;
    }
    out.resize(j.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        if (!decodeRef(j, 2 * i, out[i])) {
            return false;
        }
    }
    return true;
}

template <typename T> bool decode(const json& j, std::map<std::string, T>& out) {
    if (!j.is_object()) {
        return false;
    }
    for (const auto& [key, value] : j.items()) {
        if (!decode(value, out[key])) {
            return false;
        }
    }
    return true;
}

bool decode(const json& j, std::set<std::string>& out) {
    if (!j.is_array()) {
        return false;
    }
    for (const auto& member : j) {
        if (!member.is_string()) {
            return false;
        }
        out.insert(member.get<std::string>());
    }
    return true;
}

template <typename List> bool decodeList(const json& j, List& out) {
    if (!j.is_array()) {
        return false;
    }
    for (const auto& item : j) {
        if (!decode(item, out.emplace_back())) {
            return false;
        }
    }
    return true;
}
template <typename T> bool decode(const json& j, std::vector<T>& out) {
    return decodeList(j, out);
}
template <typename T> bool decode(const json& j, std::deque<T>& out) {
    return decodeList(j, out);
}

struct Decoder {
    const json& in;
    bool ok = true;
    template <typename T> void operator()(const char* key, T& value) {
        if (!ok) {
            return;
        }
        const auto it = in.find(key);
        ok = it != in.end() && decode(*it, value);
    }
};

template <typename R> bool decode(const json& j, R& record) {
    if (!j.is_object()) {
        return false;
    }
    Decoder d{j};
    fields(d, record);
    return d.ok;
}

} // namespace

void addRef(std::vector<Ref>& refs, const Ref& ref) {
    if (refs.size() < kFirstRefs + kLastRefs) {
        refs.push_back(ref);
        return;
    }
    std::move(refs.begin() + kFirstRefs + 1, refs.end(), refs.begin() + kFirstRefs);
    refs.back() = ref;
}

void addHour(std::vector<int64_t>& hours, double epoch) {
    if (!(epoch > 0 && epoch < 1e12)) {
        return;
    }
    const auto hour = static_cast<int64_t>(epoch / 3600);
    if (!hours.empty() && hours.back() == hour) {
        return;
    }
    const auto at = std::lower_bound(hours.begin(), hours.end(), hour);
    if (at != hours.end() && *at == hour) {
        return;
    }
    hours.insert(at, hour);
    if (hours.size() > kMaxHours) {
        hours.erase(hours.begin());
    }
}

nlohmann::json toJson(const State& state) {
    auto json = encode(state);
    json["passTime"] = state.passTime;
    return json;
}

std::optional<State> fromJson(const nlohmann::json& json) {
    State state;
    if (!decode(json, state)) {
        return std::nullopt;
    }
    // Optional: a state saved before the key existed stays usable.
    if (const auto it = json.find("passTime"); it != json.end() && it->is_number()) {
        state.passTime = it->get<double>();
    }
    return state;
}

State loadState(const std::filesystem::path& path) {
    return loadStateFile(path).state;
}

LoadedState loadStateFile(const std::filesystem::path& path) {
    const auto json = util::readJson(path, kMaxStateFileBytes);
    if (!json) {
        return {};
    }
    if (auto state = fromJson(*json)) {
        return {std::move(*state), false};
    }
    return {State{}, json->is_object() && json->contains("offset") && !json->contains("lines")};
}

bool saveState(const State& state, const std::filesystem::path& path) {
    return util::writeFileAtomic(path, util::dumpJson(toJson(state), -1),
                                 util::FolderLink::Follow);
}

} // namespace corvane::Sift
