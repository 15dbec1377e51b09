#include "gen/Generator.h"

#include "gen/Format.h"
#include "gen/Rng.h"
#include "util/LocalTime.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

namespace corvane::gen {
namespace {

enum class Daemon { Rapport, Sharing, Bluetooth };

/// How a DirectLink line names the device behind the address, if at all.
enum class TailForm { StId, UuidBeforeBonjour, IdsUuid, None };

struct Device {
    Uuid uuid{};     // the device UUID; its last 12 hex digits are the device tail
    Uuid cbDevice{}; // Bluetooth's device identifier; its last 6 bytes are the LE address
    Mac ble{};
    Token nearbyToken{};
    Token authToken{};
    std::array<Mac, 2> direct{}; // DirectLink connection addresses
    size_t directCount = 1;
    Mac awdl{};
    std::string account;
    std::string aid;
    std::string name;
    int rssi = -80; // typical signal strength
    TailForm tailForm = TailForm::StId;
    bool impersonates = false; // authenticates as the owner
    int64_t bleRotateAt = 0;
    int64_t directRotateAt = 0;
};

enum class Kind {
    OwnerBle,
    OwnerDirect,
    OwnerPairVerify,
    ForeignBle,
    ForeignDirect,
    AwdlPeer,
    Culprit,
    Resolution,
    ScreenShare,
    KeyboardShare,
    KeyboardEval,
    FoundPeer,
    LongLine,
    DaemonNoise,
    OtherProcess,
    Count
};

constexpr size_t kKinds = static_cast<size_t>(Kind::Count);

struct KindInfo {
    double weight;
    double meanLines; // lines per episode, for pacing
    bool owner;       // needs the owner's phone present
    bool ownerDirect; // needs the owner's phone on DirectLink
    bool foreign;     // needs foreign devices
    bool selected;    // passes the capture's log predicate
};

constexpr std::array<KindInfo, kKinds> kKindInfo{{
    {5.0, 1.2, true, false, false, true},   // OwnerBle
    {1.5, 2.3, true, true, false, true},    // OwnerDirect
    {0.15, 1.0, true, true, false, true},   // OwnerPairVerify
    {0.5, 1.0, false, false, true, true},   // ForeignBle
    {1.5, 1.0, false, false, true, true},   // ForeignDirect
    {1.0, 1.0, false, false, true, true},   // AwdlPeer
    {0.6, 1.0, false, false, true, true},   // Culprit
    {0.8, 2.6, false, false, true, true},   // Resolution
    {0.4, 1.0, false, false, true, true},   // ScreenShare
    {0.4, 1.0, false, false, true, true},   // KeyboardShare
    {0.5, 1.0, false, false, true, true},   // KeyboardEval
    {0.8, 1.0, false, false, false, true},  // FoundPeer
    {0.03, 1.0, false, false, false, true}, // LongLine
    {3.0, 1.0, false, false, false, false}, // DaemonNoise
    {4.0, 1.0, false, false, false, false}, // OtherProcess
}};

constexpr const char* kFirstNames[] = {"Jordan", "Sam", "Riley", "Casey", "Morgan", "Quinn"};
constexpr const char* kModels[] = {"iPad", "MacBook Pro", "iPhone", "Mac mini", "iPad Air"};
constexpr const char* kFlagNames[] = {"Scrn", "Kbd", "Ptr", "Clip", "Aud", "Cam", "Files"};

struct NoiseLine {
    Daemon daemon;
    const char* category;
    const char* text;
};

// Lines of the three daemons that carry none of the words the capture filters on.
constexpr NoiseLine kDaemonNoise[] = {
    {Daemon::Rapport, "Main", "Activated CUSystemMonitor"},
    {Daemon::Rapport, "Discovery", "Bonjour browse restarted after network change"},
    {Daemon::Rapport, "Main", "Received XPC event com.apple.rapport.matching"},
    {Daemon::Rapport, "CLinkD", "Session invalidated: reason 57, idle timeout"},
    {Daemon::Sharing, "Continuity", "Scanning started for nearby devices"},
    {Daemon::Sharing, "Main", "Power state changed: screen on"},
    {Daemon::Sharing, "Continuity", "Handoff advertisement updated, 4 activities"},
    {Daemon::Sharing, "AirDrop", "Wi-Fi state changed: associated"},
    {Daemon::Bluetooth, "Connection", "Connection parameters updated: interval 30 ms, latency 0"},
    {Daemon::Bluetooth, "Discovery", "Scan window 30 ms interval 300 ms"},
    {Daemon::Bluetooth, "Server", "HCI event 0x3e LE meta subevent 0x02"},
    {Daemon::Bluetooth, "Server", "Controller power state: on"},
};

struct OtherLine {
    const char* process;
    int pid;
    const char* subsystem;
    const char* text;
};

// Other processes, some of them using the very words the capture looks for.
constexpr OtherLine kOtherProcesses[] = {
    {"kernel", 0, "(kernel)", "IO80211AWDLPeerManager: DirectLink peer table updated, 2 entries"},
    {"WindowServer", 164, "(SkyLight) [com.apple.SkyLight:default]",
     "Display 1 brightness changed to 0.62"},
    {"mDNSResponder", 318, "(mDNSResponder) [com.apple.mDNSResponder:Default]",
     "Resolved _companion-link._tcp.local. over AWDL, 3 answers"},
    {"airportd", 376, "(IO80211) [com.apple.WiFiManager:awdl]",
     "AWDL: DirectLink channel sequence 149,149,6 in use"},
    {"identityservicesd", 702, "(IDS) [com.apple.IDS:Registration]",
     "Refreshed DeviceAuthTag cache for 3 devices"},
    {"locationd", 150, "(CoreLocation) [com.apple.locationd.Core:Core]",
     "Location updated, accuracy 35 m"},
    {"Safari", 2281, "(WebKit) [com.apple.WebKit:Loading]", "Page load finished in 412 ms"},
    {"cloudd", 655, "(CloudKit) [com.apple.cloudkit:Sync]",
     "Sync finished for container com.apple.sharing, 0 changes"},
    {"symptomsd", 290, "(Network) [com.apple.symptomsd:flow]",
     "Flow 0x7fa1 ended: 18 KB in, 4 KB out"},
};

} // namespace

struct Generator::World {
    explicit World(const Options& o)
        : options(o), rng(o.seed), startUs(std::llround(o.start * kMicros)),
          endUs(std::isfinite(o.duration) ? startUs + std::llround(o.duration * kMicros)
                                          : INT64_MAX),
          ownerDirectUs(startUs + std::llround(o.ownerAfter * kMicros)),
          foreignUs(startUs + std::llround(o.foreignAfter * kMicros)), now(startUs) {
        owner = makeDevice(true);
        selfTag = randomBytes<3>(rng);
        ownerPresent = true;
        ownerToggleAt = startUs + rng.range(20, 60) * kMinute;
        foreignRotateAt = foreignUs + rng.range(60, 180) * kMinute;
        // Four, so every way a DirectLink line can name its device (or not) turns up.
        for (int i = 0; i < 4; ++i) {
            foreign.push_back(makeDevice(false));
        }
        foreign[0].impersonates = true;
    }

    Device makeDevice(bool isOwner) {
        Device d;
        d.uuid = randomBytes<16>(rng);
        d.cbDevice = randomBytes<16>(rng);
        d.ble = randomBleMac(rng);
        std::copy(d.ble.begin(), d.ble.end(), d.cbDevice.begin() + 10);
        d.nearbyToken = randomBytes<3>(rng);
        d.authToken = randomBytes<3>(rng);
        d.awdl = randomMac(rng);
        d.aid = randomAid(rng);
        const std::string first = rng.pick(kFirstNames, std::size(kFirstNames));
        // The address was in use before the log starts, so its first change comes sooner.
        d.bleRotateAt = now + rng.range(2 * 60, 10 * 60) * kMicros;
        d.directRotateAt = now + rng.range(20, 40) * kMinute;
        if (isOwner) {
            // Two connection addresses from the start, so the phone's device tail leads
            // the DirectLink peers before any foreign device shows up.
            d.direct = {randomMac(rng), randomMac(rng)};
            d.directCount = 2;
            d.account = randomAccount(rng);
            d.name = "Alex\u2019s iPhone";
            d.rssi = -55;
            return d;
        }
        d.direct[0] = randomMac(rng);
        // A second device on an account already seen, as an attacker's iPad and Mac would be.
        d.account =
            !foreign.empty() && rng.chance(0.3) ? foreign.back().account : randomAccount(rng);
        d.name = first + "\u2019s " + rng.pick(kModels, std::size(kModels));
        d.rssi = static_cast<int>(rng.range(-88, -72));
        d.tailForm = static_cast<TailForm>(foreignMade++ % 4);
        d.impersonates = rng.chance(0.5);
        return d;
    }

    void rotate(Device& d, bool isOwner) {
        if (now >= d.bleRotateAt) {
            d.ble = randomBleMac(rng);
            std::copy(d.ble.begin(), d.ble.end(), d.cbDevice.begin() + 10);
            d.bleRotateAt = now + rng.range(14 * 60, 16 * 60) * kMicros;
        }
        if (isOwner && now >= d.directRotateAt) {
            d.direct[rng.next() % d.directCount] = randomMac(rng);
            d.directRotateAt = now + rng.range(20, 40) * kMinute;
        }
    }

    void maintain() {
        rotate(owner, true);
        if (options.ownerComesAndGoes && !ownerKept && now >= ownerToggleAt) {
            ownerPresent = !ownerPresent;
            ownerToggleAt = now + (ownerPresent ? rng.range(20, 60) : rng.range(10, 40)) * kMinute;
        }
        if (now >= foreignUs) {
            for (auto& d : foreign) {
                rotate(d, false);
            }
            if (now >= foreignRotateAt) {
                foreign[replaceNext++ % foreign.size()] = makeDevice(false);
                foreign[0].impersonates = true;
                foreignRotateAt = now + rng.range(60, 180) * kMinute;
            }
        }
    }

    Kind pickKind() {
        std::array<double, kKinds> weights{};
        double total = 0;
        for (size_t i = 0; i < kKinds; ++i) {
            const KindInfo& k = kKindInfo[i];
            const bool possible =
                (!k.owner || ownerPresent) && (!k.ownerDirect || now >= ownerDirectUs) &&
                (!k.foreign || now >= foreignUs) && (k.selected || !options.predicateOnly);
            weights[i] = possible ? k.weight : 0;
            total += weights[i];
        }
        double x = rng.uniform() * total;
        for (size_t i = 0; i < kKinds; ++i) {
            if (x < weights[i]) {
                return static_cast<Kind>(i);
            }
            x -= weights[i];
        }
        return Kind::FoundPeer;
    }

    /// A new line at `at`, queued until its time comes. The reference lasts until the next
    /// call.
    std::string& newLine(int64_t at) {
        uint32_t slot;
        if (freeSlots.empty()) {
            slot = static_cast<uint32_t>(text.size());
            text.emplace_back();
        } else {
            slot = freeSlots.back();
            freeSlots.pop_back();
        }
        queue.push_back({at, sequence++, slot});
        std::push_heap(queue.begin(), queue.end(), Queued::later);
        std::string& s = text[slot];
        s.clear();
        eventClock.put(s, at);
        return s;
    }

    std::string& line(int64_t at, Daemon daemon, const char* category) {
        std::string& s = newLine(at);
        switch (daemon) {
        case Daemon::Rapport:
            s += "  localhost rapportd[412]: (Rapport) [com.apple.rapport:";
            break;
        case Daemon::Sharing:
            s += "  localhost sharingd[588]: (Sharing) [com.apple.sharing:";
            break;
        case Daemon::Bluetooth:
            s += "  localhost bluetoothd[201]: (CoreBluetooth) [com.apple.bluetooth:";
            break;
        }
        s += category;
        s += "] ";
        return s;
    }

    Device& anyForeign() { return foreign[rng.next() % foreign.size()]; }

    Device& impersonator() {
        for (size_t tries = 0; tries < 4; ++tries) {
            Device& d = anyForeign();
            if (d.impersonates) {
                return d;
            }
        }
        return foreign[0];
    }

    void putAccount(std::string& s, const Device& d, bool withAid) {
        s += "IDS '";
        s += d.account;
        s += '\'';
        if (withAid) {
            s += ", AID '";
            s += d.aid;
            s += '\'';
        }
    }

    void putFlags(std::string& s, const char* name) {
        s += name;
        s += ' ';
        putHexNumber(s, static_cast<uint64_t>(rng.range(1, 0x3f)));
        s += " < ";
        const auto n = rng.range(1, 3);
        for (int64_t i = 0; i < n; ++i) {
            s += rng.pick(kFlagNames, std::size(kFlagNames));
            s += ' ';
        }
        s += '>';
    }

    void ownerBle(int64_t at) {
        std::string& s = line(at, Daemon::Bluetooth, "Discovery");
        const int rssi = rng.chance(0.85) ? static_cast<int>(rng.range(-68, -42))
                                          : static_cast<int>(rng.range(-80, -71));
        if (rng.chance(0.2)) {
            s += "EnhancedDiscovery: Addr ";
            putMac12(s, owner.ble);
            s += " RSSI ";
            putDecimal(s, rssi);
            s += " iPhone nbIAT ";
            putToken(s, owner.nearbyToken);
            return;
        }
        s += "EnhancedDiscovery: device found ";
        putMac(s, owner.ble);
        s += ", RSSI ";
        putDecimal(s, rssi);
        s += ", name \"";
        s += owner.name;
        s += "\", model iPhone17,1, nbIAT ";
        putToken(s, owner.nearbyToken);
        s += ", AT ";
        putToken(s, owner.authToken);
    }

    void ownerDirect(int64_t at, const Mac& mac) {
        std::string& s = line(at, Daemon::Rapport, "Discovery");
        s += "DirectLink: CUBonjourDevice ";
        putMac(s, mac);
        s += ", TT 0x10, stID ";
        putUuid(s, owner.uuid);
        s += ", ";
        putAccount(s, owner, true);
        if (rng.chance(0.3)) {
            s += ", DeviceAuthTag: owner";
        }
    }

    void foreignDirect(int64_t at, Device& d) {
        std::string& s = line(at, Daemon::Rapport, "Discovery");
        s += "DirectLink: ";
        if (d.tailForm == TailForm::UuidBeforeBonjour) {
            s += "peer ";
            putUuid(s, d.uuid);
            s += ", ";
        }
        s += "CUBonjourDevice ";
        putMac(s, d.direct[0]);
        s += ", TT 0x10, ";
        if (d.tailForm == TailForm::StId) {
            s += "stID ";
            putUuid(s, d.uuid);
            s += ", ";
        } else if (d.tailForm == TailForm::IdsUuid) {
            s += "IDS ";
            putUuid(s, d.uuid);
            s += ", ";
        }
        putAccount(s, d, rng.chance(0.7));
        if (d.impersonates && rng.chance(0.5)) {
            s += ", DeviceAuthTag: owner";
        }
    }

    void foreignBle(int64_t at, Device& d) {
        std::string& s = line(at, Daemon::Bluetooth, "Discovery");
        const int rssi = d.rssi + static_cast<int>(rng.range(-6, 6));
        const auto form = rng.range(0, 9);
        if (form < 3) {
            s += "EnhancedDiscovery: CBDevice ";
            putUuid(s, d.cbDevice);
        } else if (form < 4) {
            s += "EnhancedDiscovery: SFBLEDevice ID ";
            putUuid(s, d.cbDevice, false);
        } else if (form < 7) {
            s += "EnhancedDiscovery: Addr ";
            putMac12(s, d.ble);
        } else {
            s += "EnhancedDiscovery: device found ";
            putMac(s, d.ble, false);
        }
        s += ", RSSI ";
        putDecimal(s, rssi);
        s += ", name \"";
        s += d.name;
        s += "\", nbIAT ";
        putToken(s, d.nearbyToken);
        if (rng.chance(0.5)) {
            s += ", AT ";
            putToken(s, d.authToken);
        }
    }

    void awdlPeer(int64_t at, Device& d) {
        const bool rapport = rng.chance(0.7);
        std::string& s = rapport ? line(at, Daemon::Rapport, "Discovery")
                                 : line(at, Daemon::Sharing, "Continuity");
        s += "EnhancedDiscovery: CUBonjourDevice ";
        putMac(s, d.awdl);
        s += rng.chance(0.8) ? ", < AWDL >, TT 0x04, " : ", < AWDL >, TT 0x4, ";
        putAccount(s, d, true);
        s += ", DeviceAuthTag: ";
        if (d.impersonates && rng.chance(0.4)) {
            s += "owner";
        } else {
            putToken(s, d.authToken);
        }
    }

    void culprit(int64_t at) {
        Device& d = impersonator();
        std::string& s = line(at, Daemon::Rapport, "Identity");
        if (rng.chance(0.3)) {
            s += "SameAccountDevice PairVerify started: ";
            putAccount(s, d, true);
            s += ", as owner";
            return;
        }
        s += "SameAccountDevice: ";
        putAccount(s, d, rng.chance(0.9));
        s += ", authenticated as owner";
    }

    void ownerPairVerify(int64_t at) {
        std::string& s = line(at, Daemon::Rapport, "Identity");
        s += "SameAccountDevice PairVerify started: ";
        putAccount(s, owner, true);
        s += ", as owner";
    }

    void screenShare(int64_t at, Device& d) {
        std::string& s = line(at, Daemon::Rapport, "RemoteDisplay");
        s += "RPRemoteDisplayDaemon: session activated, ";
        putAccount(s, d, rng.chance(0.8));
        s += ", AcLv = Screen (7)";
    }

    /// An identity resolution over AWDL and the connections that follow it: mostly within a
    /// few milliseconds, sometimes too late to be matched.
    void resolution(int64_t at, Device& d) {
        std::string& s = line(at, Daemon::Rapport, "Identity");
        s += "RPIdentityDaemon: Resolved DeviceAuthTag for CUBonjourDevice ";
        putMac(s, d.awdl);
        s += ", < AWDL >, ";
        putAccount(s, d, true);

        std::array<int64_t, 2> delays{};
        const size_t connections = rng.chance(0.3) ? 2 : 1;
        for (size_t i = 0; i < connections; ++i) {
            delays[i] = rng.chance(0.85) ? rng.range(400, 9000) : rng.range(12000, 40000);
        }
        std::sort(delays.begin(), delays.begin() + static_cast<std::ptrdiff_t>(connections));
        bool screen = false;
        for (size_t i = 0; i < connections; ++i) {
            std::string& c = line(at + delays[i], Daemon::Rapport, "CLinkD");
            c += "CLinkD connection activated: client CID ";
            putHexNumber(c, static_cast<uint64_t>(rng.range(0x1000, 0xfffff)));
            c += ", ";
            putAccount(c, d, rng.chance(0.6));
            const auto level = rng.range(0, 19);
            if (level < 11) {
                c += ", AcLv = Screen (7), ";
                screen = true;
            } else if (level < 18) {
                c += ", AcLv Keyboard(5), ";
            } else {
                c += ", AcLv = Default (1), ";
            }
            putFlags(c, "SF");
            if (rng.chance(0.6)) {
                c += ", ";
                putFlags(c, "DF");
            }
            if (rng.chance(0.2)) {
                c += ", ";
                putFlags(c, rng.chance(0.5) ? "nbIF" : "nbAF");
            }
        }
        if (screen && rng.chance(0.5)) {
            screenShare(at + rng.range(500, 2000) * 1000, d);
        }
    }

    void keyboardShare(int64_t at, Device& d) {
        if (rng.chance(0.3)) {
            std::string& s = line(at, Daemon::Sharing, "UniversalControl");
            s += "NeedsKeyboard requested by ";
            putAccount(s, d, true);
            return;
        }
        std::string& s = line(at, Daemon::Bluetooth, "Server");
        s += "NeedsKeyboard: ";
        putAccount(s, d, false);
        s += rng.chance(0.8) ? ", nbAT " : ", nbAa ";
        putToken(s, d.authToken);
        if (rng.chance(0.5)) {
            s += ", nbIAT ";
            putToken(s, d.nearbyToken);
        }
    }

    void keyboardEval(int64_t at, Device& d) {
        std::string& s = line(at, Daemon::Sharing, "Continuity");
        s += "Evaluating AuthTag from device BLE addr ";
        putMac(s, d.ble);
        if (rng.chance(0.25)) {
            s += ", IDS ";
            s += d.account;
        } else {
            s += ", ";
            putAccount(s, d, false);
        }
        s += ", AcLv Keyboard(5), ";
        putFlags(s, "DsFl");
        s += ", selfAuthTag ";
        putToken(s, selfTag);
    }

    void foundPeer(int64_t at) {
        if (rng.chance(0.5)) {
            std::string& s = line(at, Daemon::Sharing, "AirDrop");
            s += "FILE SHARING: found AWDL peer, browse active";
        } else {
            std::string& s = line(at, Daemon::Rapport, "Discovery");
            s += "found DirectLink peer, link up on channel ";
            putDecimal(s, rng.chance(0.5) ? 149 : 6);
        }
    }

    void longLine(int64_t at) {
        std::string& s = line(at, Daemon::Rapport, "Metrics");
        s += "DirectLink link metrics:";
        const auto entries = rng.range(60, 120);
        for (int64_t i = 0; i < entries; ++i) {
            s += " ch";
            putDecimal(s, i);
            s += " rssi=";
            putDecimal(s, rng.range(-90, -40));
            s += " snr=";
            putDecimal(s, rng.range(5, 40));
            s += " rate=";
            putDecimal(s, rng.range(6, 1200));
            s += ';';
        }
    }

    void daemonNoise(int64_t at) {
        const NoiseLine& n = rng.pick(kDaemonNoise, std::size(kDaemonNoise));
        line(at, n.daemon, n.category) += n.text;
    }

    void otherProcess(int64_t at) {
        const OtherLine& o = rng.pick(kOtherProcesses, std::size(kOtherProcesses));
        std::string& s = newLine(at);
        s += "  localhost ";
        s += o.process;
        s += '[';
        putDecimal(s, o.pid);
        s += "]: ";
        s += o.subsystem;
        s += ' ';
        s += o.text;
    }

    void episode(Kind kind, int64_t at) {
        switch (kind) {
        case Kind::OwnerBle:
            ownerBle(at);
            if (rng.chance(0.2)) {
                ownerBle(at + rng.range(80, 400) * 1000);
            }
            break;
        case Kind::OwnerDirect: {
            // The phone advertises, then its connection follows within seconds.
            ownerBle(at);
            const int64_t first = at + rng.range(200, 4000) * 1000;
            const size_t which = rng.next() % owner.directCount;
            ownerDirect(first, owner.direct[which]);
            if (rng.chance(0.3)) {
                ownerDirect(first + rng.range(5, 800) * 1000,
                            owner.direct[(which + 1) % owner.directCount]);
            }
            break;
        }
        case Kind::OwnerPairVerify:
            ownerPairVerify(at);
            break;
        case Kind::ForeignBle:
            foreignBle(at, anyForeign());
            break;
        case Kind::ForeignDirect:
            foreignDirect(at, anyForeign());
            break;
        case Kind::AwdlPeer:
            awdlPeer(at, anyForeign());
            break;
        case Kind::Culprit:
            culprit(at);
            break;
        case Kind::Resolution:
            resolution(at, anyForeign());
            break;
        case Kind::ScreenShare:
            screenShare(at, anyForeign());
            break;
        case Kind::KeyboardShare:
            keyboardShare(at, anyForeign());
            break;
        case Kind::KeyboardEval:
            keyboardEval(at, anyForeign());
            break;
        case Kind::FoundPeer:
            foundPeer(at);
            break;
        case Kind::LongLine:
            longLine(at);
            break;
        case Kind::DaemonNoise:
            daemonNoise(at);
            break;
        case Kind::OtherProcess:
            otherProcess(at);
            break;
        case Kind::Count:
            break;
        }
    }

    /// Starts the episode due next. Episodes begin at exponentially spaced times and may
    /// overlap, as the daemons' activities do.
    void startEpisode() {
        maintain();
        const Kind kind = pickKind();
        episode(kind, now);
        const double mean = kKindInfo[static_cast<size_t>(kind)].meanLines / options.linesPerSecond;
        now += std::llround(rng.exponential(mean) * kMicros);
    }

    struct Queued {
        int64_t at;
        uint64_t sequence; // keeps lines of equal time in the order they were made
        uint32_t slot;
        static bool later(const Queued& a, const Queued& b) {
            return a.at != b.at ? a.at > b.at : a.sequence > b.sequence;
        }
    };

    Options options;
    Rng rng;
    int64_t startUs;
    int64_t endUs;
    int64_t ownerDirectUs;
    int64_t foreignUs;
    int64_t now; // start of the next episode
    Device owner;
    std::vector<Device> foreign;
    Token selfTag{};
    bool ownerPresent = true;
    bool ownerKept = false;
    int64_t ownerToggleAt = 0;
    int64_t foreignRotateAt = 0;
    size_t foreignMade = 0;
    size_t replaceNext = 0;
    EventClock eventClock;

    // Lines made but not yet handed out, as a min-heap on time over reusable buffers.
    std::vector<std::string> text;
    std::vector<uint32_t> freeSlots;
    std::vector<Queued> queue;
    uint64_t sequence = 0;
};

Generator::Generator(const Options& options) : world_(std::make_unique<World>(options)) {}

Generator::~Generator() = default;

bool Generator::next(std::string& line, double& eventEpoch) {
    World& w = *world_;
    // Every episode that starts before the earliest queued line may put a line before it.
    while (w.queue.empty() || w.now <= w.queue.front().at) {
        w.startEpisode();
    }
    const World::Queued first = w.queue.front();
    if (first.at > w.endUs) {
        return false;
    }
    std::pop_heap(w.queue.begin(), w.queue.end(), World::Queued::later);
    w.queue.pop_back();
    line.swap(w.text[first.slot]);
    w.freeSlots.push_back(first.slot);
    eventEpoch = static_cast<double>(first.at) / kMicros;
    return true;
}

void Generator::keepOwnerPresent() {
    world_->ownerKept = true;
    world_->ownerPresent = true;
}

} // namespace corvane::gen
