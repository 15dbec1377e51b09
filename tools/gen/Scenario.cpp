#include "gen/Scenario.h"

#include "gen/Format.h"
#include "gen/Generator.h"
#include "util/Files.h"
#include "util/LocalTime.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <set>

namespace corvane::gen {
namespace {

using nlohmann::json;

/// One device of a scenario and every identifier it has shown so far.
struct Device {
    bool own = false;
    Uuid uuid{};
    Token nearby{};
    Token auth{};
    Mac ble{};
    std::vector<Mac> direct; // connection addresses in use
    Mac awdl{};
    std::string account;
    std::string aid;
    std::string name;
    std::string model;

    std::set<std::string> bleSeen;
    std::set<std::string> directSeen;
    std::set<std::string> awdlSeen;
    bool impersonated = false; // wrote a line that authenticates it as the owner
    bool stolen = false;       // a stranger's device signed in with the owner's account
    double connectedAt = 0;    // first DirectLink, AWDL or owner-authentication line (0: none)
    double provenAt = 0;       // first DirectLink line carrying the device's token (0: none)
};

struct Event {
    int64_t at;
    uint64_t sequence;
    std::string text;
};

/// A scenario in the making: devices, and the log lines their activities write.
class Script {
  public:
    Script(uint64_t seed, double start) : rng_(seed), startUs_(std::llround(start * kMicros)) {}

    Device& device(bool own, std::string name, std::string model) {
        auto& d = devices_.emplace_back(std::make_unique<Device>());
        d->own = own;
        d->uuid = randomBytes<16>(rng_);
        d->nearby = randomBytes<3>(rng_);
        d->auth = randomBytes<3>(rng_);
        d->ble = randomBleMac(rng_);
        d->direct = {randomMac(rng_), randomMac(rng_)};
        d->awdl = randomMac(rng_);
        d->account = randomAccount(rng_);
        d->aid = randomAid(rng_);
        d->name = std::move(name);
        d->model = std::move(model);
        return *d;
    }

    /// Bluetooth LE advertisements every few seconds; the address changes every
    /// `rotateMinutes`, the tokens never do.
    void advertise(Device& d, double from, double to, int rssiLow, int rssiHigh,
                   double rotateMinutes) {
        every(from, to, 2, 6, rotateMinutes, [&](int64_t at, bool rotate) {
            if (rotate) {
                d.ble = randomBleMac(rng_);
            }
            std::string& s =
                line(at, "bluetoothd[201]: (CoreBluetooth) [com.apple.bluetooth:", "Discovery");
            s += "EnhancedDiscovery: device found ";
            putMac(s, d.ble);
            s += ", RSSI ";
            putDecimal(s, rng_.range(rssiLow, rssiHigh));
            s += ", name \"" + d.name + "\", model " + d.model + ", nbIAT ";
            putToken(s, d.nearby);
            s += ", AT ";
            putToken(s, d.auth);
            d.bleSeen.insert(macText(d.ble));
        });
    }

    /// DirectLink announcements naming the device by its UUID and its account; one of the
    /// addresses in use changes every `rotateMinutes`. Some lines carry the device's
    /// authentication token or the owner's DeviceAuthTag.
    void directLink(Device& d, double from, double to, double everyLow, double everyHigh,
                    double rotateMinutes, double tokenChance, double ownerTagChance) {
        every(from, to, everyLow, everyHigh, rotateMinutes, [&](int64_t at, bool rotate) {
            if (rotate) {
                d.direct[rng_.next() % d.direct.size()] = randomMac(rng_);
            }
            const Mac& mac = d.direct[rng_.next() % d.direct.size()];
            std::string& s = line(at, kRapport, "Discovery");
            s += "DirectLink: CUBonjourDevice ";
            putMac(s, mac);
            s += ", TT 0x10, stID ";
            putUuid(s, d.uuid);
            putAccount(s, d);
            if (rng_.chance(tokenChance)) {
                s += ", AT ";
                putToken(s, d.auth);
                noteFirst(d.provenAt, at);
            }
            if (rng_.chance(ownerTagChance)) {
                s += ", DeviceAuthTag: owner";
            }
            d.directSeen.insert(macText(mac));
            noteFirst(d.connectedAt, at);
        });
    }

    /// AWDL announcements quoting the device's account.
    void awdl(Device& d, double from, double to) {
        every(from, to, 15, 40, 0, [&](int64_t at, bool) {
            std::string& s = line(at, kRapport, "Discovery");
            s += "EnhancedDiscovery: CUBonjourDevice ";
            putMac(s, d.awdl);
            s += ", < AWDL >, TT 0x04";
            putAccount(s, d);
            s += ", DeviceAuthTag: ";
            putToken(s, d.auth);
            d.awdlSeen.insert(macText(d.awdl));
            noteFirst(d.connectedAt, at);
        });
    }

    /// A device of `account` authenticating as the owner of this Mac, with the odd pair
    /// verification in between (which does not count as one).
    void authenticateAsOwner(Device& d, double from, double to) {
        every(from, to, 40, 150, 0, [&](int64_t at, bool) {
            std::string& s = line(at, kRapport, "Identity");
            if (rng_.chance(0.25)) {
                s += "SameAccountDevice PairVerify started: ";
                putAccount(s, d, false);
                s += ", as owner";
                return;
            }
            s += "SameAccountDevice: ";
            putAccount(s, d, false);
            s += ", authenticated as owner";
            d.impersonated = true;
            noteFirst(d.connectedAt, at);
        });
    }

    /// Screen sharing sessions of the device's account.
    void screenShare(Device& d, double from, double to) {
        every(from, to, 60, 240, 0, [&](int64_t at, bool) {
            std::string& s = line(at, kRapport, "RemoteDisplay");
            s += "RPRemoteDisplayDaemon: session activated, ";
            putAccount(s, d, false);
            s += ", AcLv = Screen (7)";
        });
    }

    /// Link-layer chatter that names no device.
    void chatter(double from, double to) {
        every(from, to, 30, 90, 0, [&](int64_t at, bool) {
            if (rng_.chance(0.5)) {
                line(at, kRapport, "Discovery") += "found DirectLink peer, link up on channel 149";
            } else {
                line(at, "sharingd[588]: (Sharing) [com.apple.sharing:", "AirDrop") +=
                    "FILE SHARING: found AWDL peer, browse active";
            }
        });
    }

    int64_t minutes(double m) const { return startUs_ + std::llround(m * kMinute); }

    /// The evidence log: a start marker, then every line in time order, stamped by the
    /// capture a moment after its event.
    std::vector<std::string> evidence() {
        std::sort(events_.begin(), events_.end(), [](const Event& a, const Event& b) {
            return a.at != b.at ? a.at < b.at : a.sequence < b.sequence;
        });
        std::vector<std::string> lines;
        lines.reserve(events_.size() + 1);
        int64_t stampSecond = startUs_ / kMicros;
        lines.push_back(util::formatLocalDateTime(stampSecond) +
                        " | \u2014 CV-APP capture started");
        for (const Event& e : events_) {
            const double captured =
                static_cast<double>(e.at) / kMicros + 0.005 + rng_.uniform() * 0.6;
            stampSecond = std::max(stampSecond, static_cast<int64_t>(std::floor(captured)));
            lines.push_back(util::formatLocalDateTime(stampSecond) + " | " + e.text);
        }
        return lines;
    }

    json identities(bool own, const Device* phone) const {
        std::set<std::string> ble, direct, awdl, accounts, tails, culprits, claims;
        for (const auto& d : devices_) {
            if (d->own != own) {
                continue;
            }
            ble.insert(d->bleSeen.begin(), d->bleSeen.end());
            direct.insert(d->directSeen.begin(), d->directSeen.end());
            awdl.insert(d->awdlSeen.begin(), d->awdlSeen.end());
            // A stolen account stays the owner's, whoever's device speaks for it.
            if ((!d->directSeen.empty() || !d->awdlSeen.empty() || d->impersonated) &&
                !d->stolen) {
                accounts.insert(d->account);
            }
            if (!d->directSeen.empty()) {
                tails.insert(tailText(d->uuid));
            }
            // A stolen account is the owner's: its device is the finding, not the account.
            if (d->impersonated && !d->stolen) {
                culprits.insert(d->account);
            }
            if (d->stolen) {
                claims.insert(d->directSeen.begin(), d->directSeen.end());
                claims.insert(d->awdlSeen.begin(), d->awdlSeen.end());
            }
        }
        json out = {{"ble_macs", ble},
                    {"directlink_macs", direct},
                    {"awdl_macs", awdl},
                    {"accounts", accounts},
                    {"device_tails", tails}};
        if (own) {
            out["device_tail"] = phone != nullptr ? tailText(phone->uuid) : "\u2014";
        } else {
            out["culprits"] = culprits;
            out["claims_owner_macs"] = claims;
        }
        return out;
    }

    /// The owner confirms a device as theirs at minute `m`.
    void confirm(const Device& d, double m) { confirms.emplace_back(epochOf(minutes(m)), &d); }

    /// The owner's confirmations, in the order made.
    std::vector<std::pair<double, const Device*>> confirms;
    /// A baseline file an earlier version wrote, in place when the scenario starts.
    json oldBaseline;

    /// Scenario time (seconds since 1970) of an event time.
    double epochOf(int64_t micros) const { return static_cast<double>(micros) / kMicros; }

    /// When foreign devices first connected: the verdict is due to turn then.
    std::optional<double> firstForeign() const {
        std::optional<double> first;
        for (const auto& d : devices_) {
            if (!d->own && d->connectedAt > 0 && (!first || d->connectedAt < *first)) {
                first = d->connectedAt;
            }
        }
        return first;
    }

  private:
    void noteFirst(double& slot, int64_t at) const {
        if (slot == 0 || epochOf(at) < slot) {
            slot = epochOf(at);
        }
    }

    static constexpr const char* kRapport = "rapportd[412]: (Rapport) [com.apple.rapport:";

    /// Calls `write` at random intervals of `low` to `high` seconds from minute `from` to
    /// minute `to`; `rotate` is true once every `rotateMinutes` (never when 0).
    void every(double from, double to, double low, double high, double rotateMinutes,
               const std::function<void(int64_t, bool)>& write) {
        int64_t at = minutes(from) + std::llround(rng_.uniform() * high * kMicros);
        int64_t rotateAt =
            rotateMinutes > 0 ? at + std::llround(rotateMinutes * kMinute) : INT64_MAX;
        while (at < minutes(to)) {
            const bool rotate = at >= rotateAt;
            if (rotate) {
                rotateAt += std::llround(rotateMinutes * kMinute);
            }
            write(at, rotate);
            at += std::llround((low + rng_.uniform() * (high - low)) * kMicros);
        }
    }

    std::string& line(int64_t at, const char* process, const char* category) {
        Event& e = events_.emplace_back(Event{at, sequence_++, {}});
        eventClock_.put(e.text, at);
        e.text += "  localhost ";
        e.text += process;
        e.text += category;
        e.text += "] ";
        return e.text;
    }

    static void putAccount(std::string& s, const Device& d, bool leadingComma = true) {
        s += leadingComma ? ", IDS '" : "IDS '";
        s += d.account + "', AID '" + d.aid + "'";
    }

    Rng rng_;
    int64_t startUs_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::vector<Event> events_;
    uint64_t sequence_ = 0;
    EventClock eventClock_;
};

constexpr double kSetupMinutes = 10;

struct Plan {
    const char* name;
    const char* description;
    double minutes;
    bool setup;
    const char* verdict;
    /// Writes the scenario's traffic; the owner's phone is made before and handed in.
    void (*script)(Script&, Device& phone, double minutes);
};

/// The owner's phone near the Mac from `from` to `to`: advertising, and talking DirectLink
/// from a minute later.
void phoneNear(Script& s, Device& phone, double from, double to) {
    s.advertise(phone, from, to, -65, -40, 15);
    s.directLink(phone, from + 1, to, 8, 25, 20, 0.4, 0.3);
    s.chatter(from, to);
}

/// A foreign device near the Mac from `from` to `to`: advertising, and on DirectLink from
/// half a minute later with one address at a time, changed every `rotateMinutes` (never
/// when 0).
void stranger(Script& s, const char* name, double from, double to, int rssiLow, int rssiHigh,
              double rotateMinutes) {
    Device& d = s.device(false, name, "iPhone17,1");
    d.direct.resize(1);
    s.advertise(d, from, to, rssiLow, rssiHigh, 15);
    s.directLink(d, from + 0.5, to, 8, 20, rotateMinutes, 0, 0);
}

/// The owner's phone, and from minute 5 an attacker on DirectLink whose address changes every
/// three and a half minutes (the phone's every twenty).
void rotatingAttacker(Script& s, Device& phone, double m) {
    phoneNear(s, phone, 0, m);
    stranger(s, "Casey\u2019s iPhone", 5, m, -82, -70, 3.5);
}

/// A stranger's phone in radio range, advertising only.
void neighbour(Script& s, const char* name, double from, double to) {
    Device& d = s.device(false, name, "iPhone16,2");
    s.advertise(d, from, to, -92, -72, 15);
}

/// One of the owner's other devices on the owner's account: advertising, on DirectLink
/// (the odd line with its token or the owner's tag) and, if `awdl`, on AWDL.
Device& ownDevice(Script& s, Device& phone, const char* name, const char* model, double from,
                  double to, int rssiLow, int rssiHigh, bool awdl) {
    Device& d = s.device(true, name, model);
    d.account = phone.account;
    d.direct.resize(1);
    s.advertise(d, from, to, rssiLow, rssiHigh, 15);
    s.directLink(d, from + 0.5, to, 15, 40, 25, 0.3, 0.3);
    if (awdl) {
        s.awdl(d, from + 1, to);
    }
    return d;
}

/// A stranger's device signed in with the owner's stolen account: it announces the owner's
/// account and tag, authenticates as the owner and takes screen control.
void stolenAccount(Script& s, Device& phone, double from, double to) {
    Device& d = s.device(false, "Drew\u2019s iPad", "iPad14,1");
    d.account = phone.account;
    d.stolen = true;
    d.direct.resize(1);
    s.advertise(d, from, to, -80, -64, 15);
    s.directLink(d, from + 0.5, to, 10, 30, 0, 0.3, 0.4);
    s.awdl(d, from + 1, to);
    s.authenticateAsOwner(d, from + 1, to);
    s.screenShare(d, from + 2, to);
}

/// A baseline file of the earlier rules, which took the owner's tail from the largest set of
/// addresses and connection addresses from being near the phone.
json olderBaseline(const std::string& bleMac, const std::vector<std::string>& connMacs,
                   const std::string* tail) {
    json file = {{"mode", "consumer"},
                 {"my_ble_mac", {bleMac}},
                 {"my_conn_mac", connMacs},
                 {"my_conn_state", "confirmed"},
                 {"conn_candidates", connMacs}};
    if (tail != nullptr) {
        file["my_device_tail"] = *tail;
    }
    return file;
}

const std::vector<Plan>& plans() {
    static const std::vector<Plan> all{
        {"owner-alone",
         "The owner alone: the phone over Bluetooth, DirectLink and AWDL with the owner's account, "
         "and the owner's iPad on the same account over DirectLink, authenticating as the owner.",
         35, true, "CLEAN",
         [](Script& s, Device& phone, double m) {
             phoneNear(s, phone, 0, m);
             s.awdl(phone, 2, m);
             Device& pad = s.device(true, "Alex\u2019s iPad", "iPad14,1");
             pad.account = phone.account;
             pad.direct.resize(1);
             s.advertise(pad, 0, m, -75, -60, 15);
             s.directLink(pad, 3, m, 20, 45, 0, 0, 0.3);
             s.authenticateAsOwner(pad, 4, m);
         }},
        {"neighbours",
         "The owner with the neighbours' phones in Bluetooth range, which never connect.", 35, true,
         "CLEAN",
         [](Script& s, Device& phone, double m) {
             phoneNear(s, phone, 0, m);
             neighbour(s, "Sam\u2019s iPhone", 0, m);
             neighbour(s, "Riley\u2019s iPhone", 0, m);
             neighbour(s, "Quinn\u2019s iPhone", 5, m);
         }},
        {"foreign-directlink",
         "The owner, and a foreign device on DirectLink the whole time that shares no token "
         "with the phone.",
         35, true, "COMPROMISED",
         [](Script& s, Device& phone, double m) {
             phoneNear(s, phone, 0, m);
             stranger(s, "Jordan\u2019s iPhone", 0, m, -80, -68, 0);
         }},
        {"impersonator",
         "The owner's own devices authenticating as the owner, and a foreign account "
         "authenticating as the owner from minute 12.",
         35, true, "COMPROMISED",
         [](Script& s, Device& phone, double m) {
             phoneNear(s, phone, 0, m);
             s.authenticateAsOwner(phone, 2, m);
             Device& intruder = s.device(false, "Morgan\u2019s iPad", "iPad14,1");
             s.authenticateAsOwner(intruder, 12, m);
         }},
        {"rotating-attacker",
         "No baseline: an attacker on DirectLink from minute 5, changing its address every few "
         "minutes, faster than the owner's phone.",
         35, false, "COMPROMISED", rotatingAttacker},
        {"rotating-attacker-learned",
         "The rotating attacker after the owner ran the setup with the phone.", 35, true,
         "COMPROMISED", rotatingAttacker},
        {"owner-away",
         "The owner leaves with the phone after 20 minutes; an hour later a foreign device "
         "turns up on Bluetooth and DirectLink.",
         100, true, "COMPROMISED",
         [](Script& s, Device& phone, double m) {
             phoneNear(s, phone, 0, 20);
             stranger(s, "Riley\u2019s iPhone", 80, m, -70, -55, 0);
             s.chatter(80, m);
         }},
        {"foreign-awdl",
         "The owner, and a foreign device on AWDL with its own account from minute 12.", 35, true,
         "COMPROMISED",
         [](Script& s, Device& phone, double m) {
             phoneNear(s, phone, 0, m);
             Device& other = s.device(false, "Sam\u2019s iPad", "iPad14,1");
             s.advertise(other, 12, m, -88, -74, 15);
             s.awdl(other, 12, m);
         }},
        {"stolen-account",
         "The owner's phone and iPad, and from minute 20 a stranger's iPad signed in with the "
         "owner's phished account: it announces the owner's account and tag over DirectLink and "
         "AWDL, authenticates as the owner and takes screen control.",
         45, true, "COMPROMISED",
         [](Script& s, Device& phone, double m) {
             phoneNear(s, phone, 0, m);
             ownDevice(s, phone, "Alex\u2019s iPad", "iPad14,1", 0, m, -75, -58, true);
             stolenAccount(s, phone, 20, m);
         }},
        {"neighbour-in-setup",
         "The owner steps out with the phone for most of the setup while a neighbour's phone "
         "advertises through the wall the whole time: seen in more minutes, but far weaker.",
         35, true, "CLEAN",
         [](Script& s, Device& phone, double m) {
             phoneNear(s, phone, 0, 2);
             phoneNear(s, phone, 8, m);
             Device& next = s.device(false, "Sam\u2019s iPhone", "iPhone16,2");
             s.advertise(next, 0, m, -84, -71, 15);
             neighbour(s, "Riley\u2019s iPhone", 0, m);
         }},
        {"phone-absent-setup",
         "The phone charges in the next room during the setup (weak, no DirectLink) with the "
         "neighbours' phones around; it comes to the Mac at minute 13, and a foreign device "
         "connects over DirectLink at minute 30.",
         45, true, "COMPROMISED",
         [](Script& s, Device& phone, double m) {
             s.advertise(phone, 0, 12, -92, -78, 15);
             phoneNear(s, phone, 13, m);
             neighbour(s, "Sam\u2019s iPhone", 0, m);
             neighbour(s, "Quinn\u2019s iPhone", 0, m);
             stranger(s, "Jordan\u2019s iPhone", 30, m, -80, -68, 0);
         }},
        {"household",
         "A household of four own devices on the owner's account (phone, Watch, iPad, a second "
         "Mac), all around while the setup runs, the iPad over AWDL too and authenticating as "
         "the owner; the neighbours' phones in range.",
         40, true, "CLEAN",
         [](Script& s, Device& phone, double m) {
             phoneNear(s, phone, 0, m);
             s.awdl(phone, 2, m);
             ownDevice(s, phone, "Alex\u2019s Apple Watch", "Watch7,1", 0, m, -66, -48, false);
             Device& pad = ownDevice(s, phone, "Alex\u2019s iPad", "iPad14,1", 1, m, -76, -60, true);
             s.authenticateAsOwner(pad, 4, m);
             ownDevice(s, phone, "Alex\u2019s Mac mini", "Macmini9,1", 2, m, -82, -66, false);
             neighbour(s, "Sam\u2019s iPhone", 0, m);
         }},
        {"new-own-device",
         "The owner's phone and iPad learned at setup; at minute 20 the owner's new MacBook on "
         "the same account shows up, and the owner confirms it as theirs at minute 26.",
         40, true, "CLEAN",
         [](Script& s, Device& phone, double m) {
             phoneNear(s, phone, 0, m);
             ownDevice(s, phone, "Alex\u2019s iPad", "iPad14,1", 0, m, -75, -58, true);
             Device& laptop =
                 ownDevice(s, phone, "Alex\u2019s MacBook Air", "Mac15,12", 20, m, -70, -52, false);
             s.confirm(laptop, 26);
         }},
        {"long-day",
         "An eight-hour day: phone and iPad rotate their addresses, the owner takes the phone to "
         "lunch for 45 minutes, the neighbours' phones come and go, and in the afternoon a "
         "visitor's phone connects over DirectLink for 20 minutes.",
         480, true, "COMPROMISED",
         [](Script& s, Device& phone, double m) {
             phoneNear(s, phone, 0, 240);
             phoneNear(s, phone, 285, m);
             ownDevice(s, phone, "Alex\u2019s iPad", "iPad14,1", 0, m, -76, -58, true);
             neighbour(s, "Sam\u2019s iPhone", 0, 200);
             neighbour(s, "Riley\u2019s iPhone", 150, m);
             stranger(s, "Casey\u2019s iPhone", 360, 380, -78, -64, 8);
         }},
        {"upgrade-wrong-tail",
         "A baseline file of the earlier rules holds the tail and a connection address of the "
         "neighbour's MacBook, which is on DirectLink next door the whole time.",
         35, false, "COMPROMISED",
         [](Script& s, Device& phone, double m) {
             const std::string oldBle = macText(phone.ble);
             phoneNear(s, phone, 0, m);
             Device& mac = s.device(false, "Sam\u2019s MacBook Pro", "Mac15,7");
             s.advertise(mac, 0, m, -82, -70, 15);
             s.directLink(mac, 0, m, 8, 20, 12, 0, 0);
             const std::string tail = tailText(mac.uuid);
             s.oldBaseline = olderBaseline(oldBle, {*mac.directSeen.begin()}, &tail);
         }},
        {"upgrade-foreign-conn",
         "A baseline file of the earlier rules holds, as the owner's connection address, one of "
         "a colleague's iPad seen near the phone; the iPad is on DirectLink the whole time.",
         35, false, "COMPROMISED",
         [](Script& s, Device& phone, double m) {
             const std::string oldBle = macText(phone.ble);
             phoneNear(s, phone, 0, m);
             Device& pad = s.device(false, "Morgan\u2019s iPad", "iPad14,1");
             pad.direct.resize(1);
             s.advertise(pad, 0, m, -78, -66, 15);
             s.directLink(pad, 0, m, 8, 20, 0, 0, 0);
             s.oldBaseline = olderBaseline(oldBle, {*pad.directSeen.begin()}, nullptr);
         }},
    };
    return all;
}

} // namespace

const std::vector<std::string>& scenarioNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> out;
        for (const Plan& p : plans()) {
            out.emplace_back(p.name);
        }
        return out;
    }();
    return names;
}

std::optional<Scenario> makeScenario(const std::string& name, uint64_t seed) {
    const auto& all = plans();
    const auto plan =
        std::find_if(all.begin(), all.end(), [&](const Plan& p) { return name == p.name; });
    if (plan == all.end()) {
        return std::nullopt;
    }
    const double start = Options{}.start;
    Script script(seed, start);
    Device& phone = script.device(true, "Alex\u2019s iPhone", "iPhone17,1");
    plan->script(script, phone, plan->minutes);

    Scenario out;
    out.lines = script.evidence();
    const double end = start + plan->minutes * 60;
    // When the verdict is due COMPROMISED: from a foreign device's first connection on, and
    // for a device of the owner's the owner has not confirmed yet, until the confirmation.
    json alarms = json::array();
    if (const auto first = script.firstForeign()) {
        alarms.push_back({{"from", *first}, {"until", nullptr}});
    }
    json confirms = json::array();
    for (const auto& [at, device] : script.confirms) {
        confirms.push_back({{"at", at}, {"tail", tailText(device->uuid)}});
        if (device->connectedAt > 0) {
            alarms.push_back({{"from", device->connectedAt}, {"until", at}});
        }
    }
    // The passes judged: those after the setup, or, without one, once the phone has shown
    // its token on a DirectLink line (what proves which device is the owner's).
    const double judgeFrom =
        plan->setup ? start + kSetupMinutes * 60
                    : (phone.provenAt > 0 ? phone.provenAt : phone.connectedAt) + 1;
    out.truth = {
        {"scenario", plan->name},
        {"description", plan->description},
        {"seed", seed},
        {"start", start},
        {"end", end},
        {"setup", plan->setup ? json{{"since", start}, {"until", start + kSetupMinutes * 60}}
                              : json(nullptr)},
        {"judge_from", judgeFrom},
        {"expected_verdict", plan->verdict},
        {"alarms", alarms},
        {"confirm", confirms},
        {"baseline", script.oldBaseline},
        {"owner", script.identities(true, &phone)},
        {"foreign", script.identities(false, nullptr)},
    };
    return out;
}

bool writeScenario(const std::string& name, const std::filesystem::path& dir, uint64_t seed) {
    const auto scenario = makeScenario(name, seed);
    if (!scenario) {
        return false;
    }
    util::createFolders(dir);
    std::string log;
    for (const auto& line : scenario->lines) {
        log += line;
        log += '\n';
    }
    const json& baseline = scenario->truth["baseline"];
    return util::writeFileAtomic(dir / "CV_personal.log", log) &&
           util::writeFileAtomic(dir / "truth.json", scenario->truth.dump(2) + "\n") &&
           (baseline.is_null() ||
            util::writeFileAtomic(dir / "baseline.json", baseline.dump(2) + "\n"));
}

} // namespace corvane::gen
