#include "eval/Evaluate.h"

#include "gen/Scenario.h"
#include "util/Files.h"
#include "util/JsonFile.h"
#include "util/LocalTime.h"

#include <cstdio>
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
    if (rowsCut) {
        out.push_back("a rogue list was cut to its row limit");
    }
    return out;
}

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
    const std::set<std::string> ownBle = strings(owner, "ble_macs");

    std::ifstream in(source / "CV_personal.log");
    std::ofstream log(data / "CV_personal.log", std::ios::app);
    const std::string corvane = quoted((binDir / "corvane").string());
    const std::string dataArg = " --data " + quoted(data.string());
    const fs::path output = work / "command-output.txt";
    const json& setup = truth["setup"];
    bool learnt = !setup.is_object();
    const double end = truth["end"].get<double>();

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
            learnt = true;
            result.error = run(corvane + " learn" + dataArg + " --since " +
                                   number(setup["since"].get<double>()),
                               output);
        }
        if (result.error.empty()) {
            result.error = run(corvane + " pass" + dataArg + " --now " + number(now), output);
        }
        if (const auto baseline =
                util::readJsonObject(data / "sift" / "baseline.json", kMaxJsonBytes)) {
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
                                                               {"foreign my_conn_mac", 21},
                                                               {"foreign my_ble_mac", 0}};
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
                                                std::to_string(r.foreignConn.size()),
                                                std::to_string(r.foreignBle.size())};
        for (size_t i = 0; i < cells.size(); ++i) {
            out += heads[i].second > 0 ? cell(cells[i], heads[i].second) : cells[i];
        }
        out += r.rowsCut ? "  (rows cut)" : "";
        out += r.error.empty() ? "" : "  FAILED";
        out += '\n';
        met += r.misses().empty() ? 1 : 0;
    }
    out += "P precision, R recall (— nothing to measure); DL DirectLink rows; cul culprits; "
           "own cul own accounts among them; foreign my_conn_mac / my_ble_mac: foreign addresses "
           "in those baseline keys after any pass\n";
    out += "targets met: " + std::to_string(met) + " of " + std::to_string(results.size()) + "\n";
    return out;
}

} // namespace corvane::eval
