#include "eval/Evaluate.h"

#include "gen/Scenario.h"
#include "util/Files.h"
#include "util/JsonFile.h"
#include "util/LocalTime.h"

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sys/wait.h>

namespace corvane::eval {
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// The evaluation reads only what the generator and corvane wrote for one scenario.
constexpr uint64_t kMaxJsonBytes = uint64_t{64} << 20;

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", value);
    return text;
}

/// Runs a command line; its output goes to `log`. Empty on success, else what went wrong.
std::string run(const std::string& command, const fs::path& log) {
    const int raw = std::system((command + " >" + quoted(log.string()) + " 2>&1").c_str());
    if (raw != -1 && WIFEXITED(raw) && WEXITSTATUS(raw) == 0) {
        return {};
    }
    return command + ": " + util::readFile(log).value_or("(no output)");
}

std::set<std::string> strings(const json& object, const char* key) {
    std::set<std::string> out;
    if (const auto list = util::stringArrayAt(object, key)) {
        out.insert(list->begin(), list->end());
    }
    return out;
}

/// The values of `field` in the objects of the array under `key`.
std::set<std::string> column(const json& object, const char* key, const char* field) {
    std::set<std::string> out;
    if (const auto it = object.find(key); it != object.end() && it->is_array()) {
        for (const auto& row : *it) {
            if (row.is_object() && row.contains(field) && row[field].is_string()) {
                out.insert(row[field].get<std::string>());
            }
        }
    }
    return out;
}

/// Precision and recall of what was flagged against what should have been.
std::pair<Share, Share> judge(const std::set<std::string>& flagged,
                              const std::set<std::string>& truth) {
    size_t hit = 0;
    for (const auto& item : flagged) {
        hit += truth.count(item);
    }
    return {{hit, flagged.size()}, {hit, truth.size()}};
}

std::string text(const json& object, const char* key) {
    return util::stringAt(object, key).value_or("(none)");
}

std::string share(const Share& s) {
    if (s.of == 0) {
        return "—";
    }
    char out[16];
    std::snprintf(out, sizeof out, "%.2f", static_cast<double>(s.hit) / static_cast<double>(s.of));
    return out;
}

/// Pads to `width` columns, counting code points rather than bytes.
std::string cell(const std::string& value, size_t width) {
    size_t columns = 0;
    for (const unsigned char c : value) {
        columns += (c & 0xC0) != 0x80 ? 1 : 0;
    }
    return value + std::string(columns < width ? width - columns : 1, ' ');
}

} // namespace

std::vector<std::string> Result::misses() const {
    std::vector<std::string> out;
    if (!error.empty()) {
        out.push_back("failed: " + error);
    }
    if (verdict != expectedVerdict || summaryVerdict != expectedVerdict) {
        out.push_back("verdict " + verdict + " (summary " + summaryVerdict + "), expected " +
                      expectedVerdict);
    }
    if (tail != expectedTail) {
        out.push_back("owner tail " + tail + ", expected " + expectedTail);
    }
    const std::pair<const char*, const Share*> shares[] = {
        {"DirectLink precision", &directPrecision}, {"DirectLink recall", &directRecall},
        {"AWDL precision", &awdlPrecision},         {"AWDL recall", &awdlRecall},
        {"culprit precision", &culpritPrecision},   {"culprit recall", &culpritRecall}};
    for (const auto& [name, s] : shares) {
        if (!s->perfect()) {
            out.push_back(std::string(name) + " " + std::to_string(s->hit) + " of " +
                          std::to_string(s->of));
        }
    }
    for (const auto& id : ownCulprits) {
        out.push_back("own account " + id + " listed as a culprit");
    }
    for (const auto& mac : foreignConn) {
        out.push_back("foreign address " + mac + " in my_conn_mac");
    }
    for (const auto& mac : foreignBle) {
        out.push_back("foreign address " + mac + " taken for the phone in my_ble_mac");
    }
    for (const auto& id : foreignKnown) {
        out.push_back("foreign " + id + " among the owner's known devices");
    }
    if (!claims.perfect()) {
        out.push_back("device on a stolen account shown as claiming the owner: " +
                      std::to_string(claims.hit) + " of " + std::to_string(claims.of) +
                      " addresses");
    }
    if (wrongVerdicts > 0 || wrongTails > 0) {
        out.push_back(std::to_string(wrongVerdicts) + " passes with a wrong verdict and " +
                      std::to_string(wrongTails) + " with a wrong tail, of " +
                      std::to_string(judged) + "; first " + firstWrong);
    }
    if (earlyAlarms > 0) {
        out.push_back(std::to_string(earlyAlarms) + " passes alarmed before anything foreign");
    }
    if (alarmDue && (!latency || *latency > kMaxLatency)) {
        out.push_back(latency ? "COMPROMISED " + std::to_string(static_cast<int>(*latency)) +
                                    " s after the first foreign connection"
                              : "never COMPROMISED after the first foreign connection");
    }
    if (rowsCut) {
        out.push_back("a rogue list was cut to its row limit");
    }
    return out;
}

namespace {

/// Whether an alarm of the truth is due at `now`, and whether `now` lies within the
/// latency allowed after one began (when either verdict is accepted).
std::pair<bool, bool> alarmAt(const json& alarms, double now) {
    bool due = false;
    bool settling = false;
    for (const auto& alarm : alarms) {
        const double from = alarm["from"].get<double>();
        const bool ended = alarm["until"].is_number() && now >= alarm["until"].get<double>();
        if (now >= from && !ended) {
            due = true;
            settling = settling || now < from + kMaxLatency;
        }
    }
    return {due, settling};
}

} // namespace

Result evaluate(const std::string& scenario, uint64_t seed, const fs::path& binDir,
                const fs::path& work) {
    Result result;
    result.scenario = scenario;
    const fs::path source = work / "scenario";
    const fs::path data = work / "data";
    std::error_code ec;
    fs::remove_all(data, ec);
    util::createFolders(data);
    if (!gen::writeScenario(scenario, source, seed)) {
        result.error = "cannot write the scenario " + scenario;
        return result;
    }
    const json truth =
        util::readJsonObject(source / "truth.json", kMaxJsonBytes).value_or(json::object());
    const json& owner = truth["owner"];
    const json& foreign = truth["foreign"];
    result.expectedVerdict = text(truth, "expected_verdict");
    result.expectedTail = text(owner, "device_tail");
    const std::set<std::string> ownDirect = strings(owner, "directlink_macs");
    const std::set<std::string> ownAwdl = strings(owner, "awdl_macs");
    const std::set<std::string> ownBle = strings(owner, "ble_macs");
    const std::set<std::string> ownTails = strings(owner, "device_tails");
    const json& alarms = truth["alarms"];
    std::optional<double> firstAlarm;
    for (const auto& alarm : alarms) {
        const double from = alarm["from"].get<double>();
        firstAlarm = firstAlarm ? std::min(*firstAlarm, from) : from;
    }
    result.alarmDue = firstAlarm.has_value();
    if (fs::exists(source / "baseline.json")) {
        util::createFolders(data / "sift");
        fs::copy_file(source / "baseline.json", data / "sift" / "baseline.json", ec);
    }

    std::ifstream in(source / "CV_personal.log");
    std::ofstream log(data / "CV_personal.log", std::ios::app);
    const std::string corvane = quoted((binDir / "corvane").string());
    const std::string dataArg = " --data " + quoted(data.string());
    const fs::path output = work / "command-output.txt";
    const json& setup = truth["setup"];
    const bool hasSetup = setup.is_object();
    bool learnt = !hasSetup;
    const double end = truth["end"].get<double>();
    const double judgeFrom = truth["judge_from"].get<double>();
    size_t confirmed = 0;

    std::string line;
    bool pending = static_cast<bool>(std::getline(in, line));
    for (double now = truth["start"].get<double>() + kPassInterval; result.error.empty();
         now += kPassInterval) {
        const bool last = now >= end;
        while (pending) {
            const auto stamp = util::parseLocalDateTime(std::string_view(line).substr(0, 19));
            if (!last && stamp && static_cast<double>(*stamp) > now) {
                break;
            }
            log << line << '\n';
            pending = static_cast<bool>(std::getline(in, line));
        }
        log.flush();
        if (!learnt && now >= setup["until"].get<double>()) {
            // The setup assistant keeps looking until a phone is near the Mac.
            const std::string failed =
                run(corvane + " learn" + dataArg + " --since " +
                        number(setup["since"].get<double>()) + " --now " + number(now),
                    output);
            learnt = failed.empty();
            if (!learnt && failed.find("No phone found near this Mac") == std::string::npos) {
                result.error = failed;
            }
        }
        const json& confirms = truth["confirm"];
        while (result.error.empty() && confirmed < confirms.size() &&
               confirms[confirmed]["at"].get<double>() <= now) {
            result.error = run(corvane + " trust" + dataArg + " --tail " +
                                   quoted(confirms[confirmed]["tail"].get<std::string>()) +
                                   " --now " + number(now),
                               output);
            ++confirmed;
        }
        if (result.error.empty()) {
            result.error = run(corvane + " pass" + dataArg + " --now " + number(now), output);
        }
        const auto baseline = util::readJsonObject(data / "sift" / "baseline.json", kMaxJsonBytes);
        if (baseline) {
            for (const auto& mac : strings(*baseline, "my_conn_mac")) {
                if (ownDirect.count(mac) == 0) {
                    result.foreignConn.insert(mac);
                }
            }
            for (const auto& mac : strings(*baseline, "my_ble_mac")) {
                if (ownBle.count(mac) == 0) {
                    result.foreignBle.insert(mac);
                }
            }
            if (const auto it = baseline->find("device_macs");
                it != baseline->end() && it->is_object()) {
                for (const auto& [mac, tail] : it->items()) {
                    if (ownDirect.count(mac) == 0 && ownAwdl.count(mac) == 0) {
                        result.foreignKnown.insert(mac);
                    }
                }
            }
            for (const auto& tail : column(*baseline, "known_devices", "tail")) {
                if (ownTails.count(tail) == 0) {
                    result.foreignKnown.insert(tail);
                }
            }
        }
        const bool phoneLearnt =
            !hasSetup || (baseline && !strings(*baseline, "my_ble_mac").empty());
        const json all = util::readJsonObject(data / "sift" / "ALL.json", kMaxJsonBytes)
                             .value_or(json::object());
        const std::string verdict = text(all, "verdict");
        // Nothing can be judged foreign before the owner's devices are known: latency counts
        // from the first foreign connection or from then, whichever is later.
        if (firstAlarm && !result.latency && now >= *firstAlarm && verdict == "COMPROMISED") {
            result.latency = std::max(0.0, now - std::max(*firstAlarm, judgeFrom - kPassInterval));
        }
        if (result.error.empty() && now >= judgeFrom) {
            ++result.judged;
            const auto [due, settling] = alarmAt(alarms, now);
            const std::string expected =
                !phoneLearnt ? "PENDING" : due ? "COMPROMISED" : "CLEAN";
            const std::string tail = text(all, "own_device_tail");
            const bool verdictRight = verdict == expected || (settling && verdict == "CLEAN");
            const bool tailRight = !phoneLearnt ? tail == "—" : tail == result.expectedTail;
            result.wrongVerdicts += verdictRight ? 0 : 1;
            result.wrongTails += tailRight ? 0 : 1;
            if (verdict == "COMPROMISED" && (!firstAlarm || now < *firstAlarm)) {
                ++result.earlyAlarms;
            }
            if ((!verdictRight || !tailRight) && result.firstWrong.empty()) {
                result.firstWrong = "at minute " + number((now - truth["start"].get<double>()) / 60) +
                                    ": " + verdict + " (due " + expected + "), tail " + tail;
            }
        }
        if (last) {
            break;
        }
    }

    const json all =
        util::readJsonObject(data / "sift" / "ALL.json", kMaxJsonBytes).value_or(json::object());
    const json summary = util::readJsonObject(data / "sift" / "summary.json", kMaxJsonBytes)
                             .value_or(json::object());
    result.verdict = text(all, "verdict");
    result.summaryVerdict = text(summary, "verdict");
    result.tail = text(all, "own_device_tail");
    result.connState =
        all.contains("your_device") ? text(all["your_device"], "conn_state") : "(none)";

    const auto direct = column(all, "rogue_directlink", "mac");
    const auto awdl = column(all, "rogue_awdl", "mac");
    const auto culprits = column(all, "culprits", "ids");
    std::tie(result.directPrecision, result.directRecall) =
        judge(direct, strings(foreign, "directlink_macs"));
    std::tie(result.awdlPrecision, result.awdlRecall) = judge(awdl, strings(foreign, "awdl_macs"));
    std::tie(result.culpritPrecision, result.culpritRecall) =
        judge(culprits, strings(foreign, "culprits"));
    std::set<std::string> claiming;
    for (const char* key : {"rogue_directlink", "rogue_awdl"}) {
        if (const auto it = all.find(key); it != all.end() && it->is_array()) {
            for (const auto& row : *it) {
                if (row.value("owner", false) && row.contains("mac") && row["mac"].is_string()) {
                    claiming.insert(row["mac"].get<std::string>());
                }
            }
        }
    }
    result.claims = judge(claiming, strings(foreign, "claims_owner_macs")).second;
    for (const auto& id : strings(owner, "accounts")) {
        if (culprits.count(id) > 0) {
            result.ownCulprits.insert(id);
        }
    }
    const auto total = [&all](const char* key) {
        return all.contains(key) && all[key].is_number_integer() ? all[key].get<size_t>() : 0;
    };
    result.rowsCut =
        total("rogue_directlink_total") > direct.size() || total("rogue_awdl_total") > awdl.size();
    return result;
}

std::string table(const std::vector<Result>& results) {
    const std::vector<std::pair<const char*, size_t>> heads = {{"scenario", 27},
                                                               {"expected", 12},
                                                               {"verdict", 12},
                                                               {"tail", 6},
                                                               {"conn_state", 11},
                                                               {"DL P", 5},
                                                               {"DL R", 5},
                                                               {"AWDL P", 7},
                                                               {"AWDL R", 7},
                                                               {"cul P", 6},
                                                               {"cul R", 6},
                                                               {"own cul", 8},
                                                               {"stolen", 7},
                                                               {"bad passes", 11},
                                                               {"early", 6},
                                                               {"latency", 8},
                                                               {"foreign keys", 0}};
    std::string out;
    for (const auto& [head, width] : heads) {
        out += width > 0 ? cell(head, width) : std::string(head);
    }
    out += '\n';
    size_t met = 0;
    for (const Result& r : results) {
        const std::string verdict =
            r.verdict == r.summaryVerdict ? r.verdict : r.verdict + "/" + r.summaryVerdict;
        const std::vector<std::string> cells = {r.scenario,
                                                r.expectedVerdict,
                                                verdict,
                                                r.tail == r.expectedTail ? "right" : "wrong",
                                                r.connState,
                                                share(r.directPrecision),
                                                share(r.directRecall),
                                                share(r.awdlPrecision),
                                                share(r.awdlRecall),
                                                share(r.culpritPrecision),
                                                share(r.culpritRecall),
                                                std::to_string(r.ownCulprits.size()),
                                                share(r.claims),
                                                std::to_string(std::max(r.wrongVerdicts, r.wrongTails)) + "/" +
                                                    std::to_string(r.judged),
                                                std::to_string(r.earlyAlarms),
                                                r.latency ? number(*r.latency) + " s" : "—",
                                                std::to_string(r.foreignConn.size() +
                                                               r.foreignBle.size() +
                                                               r.foreignKnown.size())};
        for (size_t i = 0; i < cells.size(); ++i) {
            out += heads[i].second > 0 ? cell(cells[i], heads[i].second) : cells[i];
        }
        out += r.rowsCut ? "  (rows cut)" : "";
        out += r.error.empty() ? "" : "  FAILED";
        out += '\n';
        met += r.misses().empty() ? 1 : 0;
    }
    out += "P precision, R recall (— nothing to measure); DL DirectLink rows; cul culprits; "
           "own cul own accounts among them; stolen: addresses of a device on a stolen account "
           "shown as rows claiming the owner; bad passes: passes after the setup with a wrong "
           "verdict or owner tail, of those judged; early: of them, COMPROMISED before anything "
           "foreign connected; latency: first foreign connection to COMPROMISED; foreign keys: "
           "foreign addresses or tails in my_conn_mac, my_ble_mac or the known devices after "
           "any pass\n";
    out += "targets met: " + std::to_string(met) + " of " + std::to_string(results.size()) + "\n";
    return out;
}

} // namespace corvane::eval
