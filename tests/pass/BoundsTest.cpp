#include "LogLines.h"
#include "Subprocess.h"
#include "TempDir.h"
#include "TestConfig.h"
#include "capture/DataFolder.h"
#include "evidence/Report.h"
#include "sift/Dashboard.h"
#include "sift/Evidence.h"
#include "sift/Sift.h"
#include "util/JsonFile.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::Sift {
namespace {

namespace fs = std::filesystem;
using test::readText;
using test::TempDir;
using test::writeText;

constexpr int64_t kStart = 1'800'000'000;

/// Runs `corvane` on a data folder and gives how it ended and its peak memory; fails the
/// test when it does not end within a minute (a hang).
test::Subprocess::Ended corvane(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {std::string(CORVANE_BIN_DIR) + "/corvane"};
    argv.insert(argv.end(), args.begin(), args.end());
    // A small quarantine keeps the sanitizer's own memory out of the figures.
    test::Subprocess run(argv, {"TZ=UTC", "ASAN_OPTIONS=quarantine_size_mb=16"});
    const auto ended = run.waitWithin(std::chrono::seconds(60));
    EXPECT_TRUE(ended) << "corvane " << args.at(0) << " hangs";
    return ended.value_or(test::Subprocess::Ended{});
}

test::Subprocess::Ended pass(const fs::path& data) {
    return corvane({"pass", "--data", data.string(), "--now", std::to_string(kStart + 3600)});
}

/// A JSON text of `depth` nested arrays.
std::string nested(size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

void growBy(const fs::path& file, off_t bytes) {
    // Sparse: the bytes read as NULs without taking any disk.
    ASSERT_EQ(::truncate(file.c_str(), static_cast<off_t>(fs::file_size(file)) + bytes), 0);
}

TEST(Bounds, HostileFilesGetTheirFallbackWithoutACrashAHangOrUnboundedMemory) {
    constexpr long kMemoryKb = 300 * 1024; // the pass needs some tens of MB, ASan included
    TempDir dir;
    const fs::path log = DataFolder(dir).evidenceLog();
    const fs::path statePath = DataFolder(dir).liveState();
    const std::string lines = test::variedLog(64, kStart);
    writeText(log, lines);

    // A baseline file nested 100,000 deep and a state file of 1 GB: both corrupt.
    writeText(DataFolder(dir).baselineFile(), nested(100000));
    writeText(statePath, "");
    growBy(statePath, off_t{1} << 30);
    auto ended = pass(dir.path());
    EXPECT_EQ(ended.status, 0);
    EXPECT_LT(ended.peakRssKb, kMemoryKb);
    EXPECT_EQ(loadState(statePath).offset, lines.size()) << "the fresh state read the log";
    EXPECT_EQ(readText(DataFolder(dir).baselineFile()), nested(100000)) << "a corrupt file is kept";
    EXPECT_EQ(readVerdict(dir.path()), "COMPROMISED");

    // A day file nested 300,000 deep: no report, no crash.
    writeText(DataFolder(dir).allFile(), nested(300000));
    ended = corvane({"report", "--data", dir.path().string(), "--vault", (dir / "vault").string()});
    EXPECT_TRUE(ended.status == 0 || ended.status == 1) << ended.status;
    EXPECT_FALSE(fs::exists(DataFolder(dir).report("ALL")));

    // A FIFO in the state file's place: not opened, so the pass does not block on it.
    fs::remove(statePath);
    ASSERT_EQ(::mkfifo(statePath.c_str(), 0644), 0);
    EXPECT_EQ(pass(dir.path()).status, 0);
    EXPECT_TRUE(fs::is_regular_file(statePath)) << "replaced by a fresh state";
    EXPECT_EQ(loadState(statePath).offset, lines.size());

    // Half a GB of NULs without a line feed, as a power loss leaves: consumed once, so the
    // line after it is read and later passes are idle.
    growBy(log, off_t{512} << 20);
    ended = pass(dir.path());
    EXPECT_EQ(ended.status, 0);
    EXPECT_LT(ended.peakRssKb, kMemoryKb);
    EXPECT_EQ(loadState(statePath).offset, fs::file_size(log));
    std::ofstream(log, std::ios::app)
        << "\n"
        << test::evidenceLine(kStart + 70, kStart + 69, 0, "SameAccountDevice owner IDS 'After'")
        << "\n";
    ended = pass(dir.path());
    EXPECT_LT(ended.peakRssKb, kMemoryKb);
    const State after = loadState(statePath);
    EXPECT_EQ(after.offset, fs::file_size(log));
    EXPECT_EQ(after.cul.count("After"), 1u);

    // A device in the log's place is not read without end: a log that cannot be opened has
    // the empty head, which the stored state does not match.
    fs::remove(log);
    fs::create_symlink("/dev/zero", log);
    EXPECT_EQ(pass(dir.path()).status, 0);
    State fresh = loadState(statePath);
    fresh.passTime = 0; // the clock of the pass, the one thing a fresh state keeps
    EXPECT_EQ(fresh, State{});
}

TEST(Bounds, LinksPlantedInTheDataFolderAreNotFollowedOutOfIt) {
    for (const char* planted : {"sift", "reports"}) {
        TempDir dir;
        TempDir elsewhere;
        writeText(dir / "CV_personal.log", test::variedLog(64, kStart));
        fs::create_directory_symlink(elsewhere.path(), dir / planted);
        // A killed writer's file in the link's target: no sweep of the data folder removes it.
        const fs::path stale = elsewhere / ".ALL.json.Ab12Cd.cvtmp";
        writeText(stale, "");
        fs::last_write_time(stale, fs::file_time_type::clock::now() - std::chrono::hours(1));

        runPass(dir.path(), kStart + 3600);
        EXPECT_TRUE(fs::exists(dir / "cv_state_live.json")) << planted;
        EXPECT_FALSE(evidence::makeReport(dir.path(), "ALL", dir / "vault", kStart + 3600))
            << planted;
        EXPECT_EQ(std::distance(fs::directory_iterator(elsewhere.path()), {}), 1) << planted;
        EXPECT_TRUE(fs::exists(stale)) << planted;
    }
}

/// A log of `count` DirectLink peers, each its own MAC of the owner's device with its own
/// account, then `culprits` accounts authenticating as the owner, one line a second.
std::string floodLog(int count, int culprits) {
    std::string log;
    char payload[160];
    int64_t t = kStart;
    for (int i = 0; i < count; ++i, ++t) {
        std::snprintf(payload, sizeof payload,
                      "CUBonjourDevice 0A:00:00:%02X:%02X:%02X, TT 0x10 "
                      "stID 0a1b2c3d-4e5f-6a7b-8c9d-0123456789ab IDS 'Acct%d'",
                      (i >> 16) & 0xFF, (i >> 8) & 0xFF, i & 0xFF, i);
        log += test::evidenceLine(t, t - 1, 0, payload) + "\n";
    }
    // One MAC counted with many accounts, one of them most often.
    for (int i = 0; i < 300; ++i, ++t) {
        std::snprintf(payload, sizeof payload,
                      "CUBonjourDevice 0A:FF:FF:FF:FF:FF, TT 0x10 IDS '%s%d'",
                      i % 3 == 0 ? "Top" : "Many", i % 3 == 0 ? 0 : i);
        log += test::evidenceLine(t, t - 1, 0, payload) + "\n";
    }
    for (int i = 0; i < culprits; ++i, ++t) {
        std::snprintf(payload, sizeof payload, "SameAccountDevice owner IDS 'Cul%d'", i);
        log += test::evidenceLine(t, t - 1, 0, payload) + "\n";
    }
    return log;
}

TEST(Bounds, AFloodOfDistinctDevicesAndAccountsKeepsTheMostRecentUpToTheCaps) {
    const int peers = static_cast<int>(2 * kMaxPeers + 500); // past the in-pass trim as well
    const int culprits = static_cast<int>(kMaxCulprits + 500);
    TempDir dir;
    writeText(DataFolder(dir).evidenceLog(), floodLog(peers, culprits));
    const double now = kStart + peers + culprits + 400;
    runPass(dir.path(), now);
    const State state = loadState(DataFolder(dir).liveState());

    ASSERT_EQ(state.dPeer.size(), kMaxPeers);
    EXPECT_EQ(state.dPeer.count("0A:FF:FF:FF:FF:FF"), 1u);
    EXPECT_EQ(state.dPeer.count("0A:00:00:00:00:00"), 0u) << "the least recently seen went";
    EXPECT_EQ(state.dPeer.count("0A:00:00:00:50:13"), 1u) << "the newest stayed";
    for (const auto* maps : {&state.macTail, &state.dAdsid}) {
        for (const auto& [mac, counts] : *maps) {
            ASSERT_EQ(state.dPeer.count(mac), 1u) << mac << " outlived its peer";
        }
    }
    const auto& many = state.dAdsid.at("0A:FF:FF:FF:FF:FF");
    EXPECT_EQ(many.size(), kMaxKeysPerMac);
    EXPECT_EQ(many.at("Top0"), 100) << "the most counted account stays";

    ASSERT_EQ(state.cul.size(), kMaxCulprits);
    EXPECT_EQ(state.cul.count("Cul0"), 0u);
    EXPECT_EQ(state.cul.count("Cul" + std::to_string(culprits - 1)), 1u);

    // The dashboard lists the most frequent culprits and counts them all; the report's
    // sentence takes the count.
    const auto all = util::readJsonObject(DataFolder(dir).allFile(), kMaxDayFileBytes);
    ASSERT_TRUE(all);
    EXPECT_EQ(all->at("culprits").size(), 200u);
    EXPECT_EQ(all->at("culprits_total"), kMaxCulprits);
    const auto report = evidence::makeReport(dir.path(), "ALL", dir / "vault", kStart);
    ASSERT_TRUE(report);
    EXPECT_NE(readText(*report).find("<b>" + std::to_string(kMaxCulprits) + "</b>"),
              std::string::npos);

    // An idle pass keeps the capped state as it is.
    const std::string stored = readText(DataFolder(dir).liveState());
    runPass(dir.path(), now);
    EXPECT_EQ(readText(DataFolder(dir).liveState()), stored);
}

/// The byte limit `name` the page script `file` reads a file with ("N * 1024 * 1024").
uint64_t pageLimit(const std::string& file, const std::string& name) {
    const std::string script = readText(fs::path(CORVANE_SOURCE_DIR) / "resources" / file);
    const size_t at = script.find("const " + name + " = ");
    EXPECT_NE(at, std::string::npos) << name;
    uint64_t limit = 1;
    for (size_t i = script.find('=', at) + 1; script[i] != ';'; ++i) {
        if (std::isdigit(static_cast<unsigned char>(script[i])) != 0) {
            size_t digits = 0;
            limit *= std::stoull(script.substr(i, 20), &digits);
            i += digits - 1;
        }
    }
    return limit;
}

TEST(Bounds, EveryFileWrittenAtEveryCapIsReadBackByTheProgramsOwnReaders) {
    // Every field of every kind of line far past its cap, in the character JSON doubles (a
    // control character is stored replaced).
    const std::string wide(8192, '"');
    const std::string hex(8192, 'f');
    const int64_t t = kStart + 3000;
    State state;
    for (const std::string& payload : {
             "CUBonjourDevice 0A:00:00:00:00:01, TT 0x10 stID 0a1b2c3d-4e5f-6a7b-8c9d-0123456789ab "
             "IDS 'Own01' AID '\x01" + wide + "'",
             "RPIdentityDaemon Resolved DeviceAuthTag < AWDL > CUBonjourDevice 0C:00:00:00:00:01 "
             "IDS 'Foe01' AID '" + wide + "'",
             "SameAccountDevice owner IDS 'Foe02' AID '" + wide + "' Screen (7) " + wide,
             "bluetoothd: NeedsKeyboard nbAT <" + hex + "> IDS 'Foe02' AID '" + wide + "'",
             "Evaluating AuthTag from device BLE addr 12:34:56:78:9a:bc IDS 'Foe01' selfAuthTag <" +
                 hex + "> AcLv " + wide + "(5) SF 0x1 < " + wide + " a" + wide + " >",
         }) {
        ingestLine(test::evidenceLine(t, t - 1, 0, payload), state);
    }
    ingestLine(test::evidenceLine(t, t - 1, 3000,
                                  "CLinkD connection AcLv = " + wide + "(7) IDS 'Foe01' client CID 0x" +
                                      hex + " SF 0x41 < " + wide + " b" + wide + " >"),
               state);
    ASSERT_EQ(state.pairs.size(), 1u);
    ASSERT_TRUE(state.kbd.size() == 1 && state.ble.size() == 1 && state.cul.size() == 1);
    const auto atCap = [](const std::string& field) {
        return field.size() == kMaxFieldBytes + 3 && field.ends_with("…");
    };
    const PairRow& pair = state.pairs.front();
    const KbdRow& kbd = state.kbd.front();
    for (const std::string* field : std::initializer_list<const std::string*>{
             &pair.aid, &pair.aclv, &pair.cid, &pair.svc, &kbd.aclv, &kbd.svc, &kbd.selftag,
          &state.ble.front().nbat, &state.cul.begin()->second.aid, &state.recentRes.front().aid,
          &state.access.begin()->second.aid}) {
        EXPECT_TRUE(atCap(*field)) << field->size();
    }
    const std::string key = state.macAid.at("0A:00:00:00:00:01").begin()->first;
    EXPECT_EQ(key, "\uFFFD" + wide.substr(0, kMaxCountKeyBytes - 3) + "…");
    EXPECT_EQ(state.view.front().size(), kMaxViewLineBytes + 3);

    // Every list and map at its cap, each record with its fields at theirs.
    const auto fill = [](auto& list, size_t cap) {
        while (list.size() < cap) {
            list.push_back(list.back());
            list.back().t += 1e-3;
        }
    };
    fill(state.recentRes, kMaxRecentRes);
    fill(state.pairs, kMaxPairs);
    fill(state.kbd, kMaxKbd);
    fill(state.ble, kMaxBle);
    state.pairsTotal = static_cast<int64_t>(kMaxPairs);
    state.pairsScreen = pair.screen ? state.pairsTotal : 0;
    state.kbdTotal = static_cast<int64_t>(kMaxKbd);
    state.bleTotal = static_cast<int64_t>(kMaxBle);
    state.view.resize(kMaxView, state.view.front());
    const Peer peer = state.dPeer.begin()->second;
    char id[32];
    for (size_t i = 0; i < kMaxPeers; ++i) {
        std::snprintf(id, sizeof id, "0A:00:00:%02X:%02X:%02X", unsigned(i >> 16 & 0xFF),
                      unsigned(i >> 8 & 0xFF), unsigned(i & 0xFF));
        state.dPeer[id] = state.aPeer[std::string("0C") + (id + 2)] = peer;
        // A tenth of the MACs with every count map full.
        for (size_t k = 0; k < (i % 10 == 0 ? kMaxKeysPerMac : 1); ++k) {
            const std::string n = std::to_string(k);
            state.macAid[id][key.substr(0, key.size() - 3 - n.size()) + n + "…"] = 1;
            state.dAdsid[id]["Acct" + std::string(20 - n.size(), 'x') + n] = 1;
            state.macTail[id]["0A1B2C3D" + std::string(4 - n.size(), '0') + n] = 1;
        }
    }
    const Cul cul = state.cul.begin()->second;
    const Acc acc = state.access.begin()->second;
    for (size_t i = 0; state.cul.size() < kMaxCulprits; ++i) {
        state.cul["Foe" + std::to_string(i)] = cul;
    }
    for (size_t i = 0; state.access.size() < kMaxAccess; ++i) {
        state.access[std::to_string(i)] = acc;
    }
    ASSERT_FALSE(applyCaps(state)) << "the state is at its caps, not past them";

    // The pass writes every file and reads the state back (an idle pass: nothing new).
    TempDir dir;
    writeText(dir / "CV_personal.log", "x\n");
    state.head = "x\n";
    state.offset = 2;
    ASSERT_TRUE(saveState(state, dir / "cv_state_live.json"));
    const auto ended = corvane({"pass", "--data", dir.path().string(), "--now",
                                std::to_string(t + 60)});
    EXPECT_EQ(ended.status, 0);
    EXPECT_LT(ended.peakRssKb, 400 * 1024);
    EXPECT_EQ(loadState(dir / "cv_state_live.json").offset, 2u) << "the state was read back";

    const auto size = [&dir](const char* name) { return fs::file_size(dir / name); };
    EXPECT_LT(size("cv_state_live.json"), kMaxStateFileBytes / 2);
    EXPECT_LT(size("CV_view.log"), pageLimit("raw_log.js", "MAX_BYTES") / 2);
    for (const char* name : {"sift/ALL.json", "sift/days.json", "sift/summary.json"}) {
        EXPECT_TRUE(util::readJsonObject(dir / name, kMaxDayFileBytes)) << name;
        EXPECT_LT(size(name), kMaxDayFileBytes / 4) << name;
    }
    EXPECT_LT(size("sift/ALL.json"), pageLimit("radar.js", "MAX_JSON_BYTES") / 4);
    EXPECT_LT(size("sift/summary.json"), pageLimit("radar.js", "MAX_SMALL_BYTES") / 2);
    EXPECT_LT(size("sift/days.json"), pageLimit("radar.js", "MAX_SMALL_BYTES") / 2);
    EXPECT_TRUE(readVerdict(dir.path()));
    EXPECT_TRUE(evidence::makeReport(dir.path(), "ALL", dir / "vault", t + 60));
}

// Rows whose lines are as long as a stored line gets and escape to two bytes a character:
// sift/evidence.json keeps every reference and every text, and stays within the limit its
// readers (explain, findings, the report) apply.
TEST(Bounds, EvidenceAtItsCapStaysWithinItsReadersLimit) {
    TempDir dir;
    const std::string pad(kMaxViewLineBytes, '"');
    int64_t t = kStart;
    // The owner's phone, so that the accounts are judged and listed.
    std::string log = test::evidenceLine(t, t - 1, 0,
                                         "CUBonjourDevice 0A:00:00:00:00:01, TT 0x10 stID "
                                         "0a1b2c3d-4e5f-6a7b-8c9d-0123456789ab IDS 'Own'") +
                      "\n";
    for (int round = 0; round < 5; ++round) {
        for (int i = 0; i < 200; ++i, ++t) {
            log += test::evidenceLine(t, t - 1, 0,
                                      "SameAccountDevice owner IDS 'Cul" + std::to_string(i) +
                                          "' " + pad) +
                   "\n";
        }
    }
    writeText(dir / "CV_personal.log", log);
    runPass(dir.path(), static_cast<double>(t + 60));
    EXPECT_LT(fs::file_size(dir / "sift/evidence.json"), kMaxEvidenceFileBytes);
    const auto evidence = readEvidence(dir.path());
    ASSERT_TRUE(evidence);
    const auto findings = evidenceFindings(*evidence);
    ASSERT_EQ(findings.size(), 200u);
    for (const auto& finding : findings) {
        ASSERT_EQ(finding["lines"].size(), kFirstRefs + kLastRefs);
        for (const auto& line : finding["lines"]) {
            EXPECT_TRUE(line["text"].get<std::string>().ends_with("…"));
        }
    }
}

} // namespace
} // namespace corvane::Sift
