// corvane-eval: the detection evaluation over the labelled scenarios (bench/detection-eval).

#include "eval/Evaluate.h"
#include "gen/Scenario.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    CLI::App app{"Runs corvane over the labelled scenarios and prints how the detection did",
                 "corvane-eval"};
    std::vector<std::string> names;
    std::string bin;
    std::string work;
    uint64_t seed = 1;
    bool misses = false;
    app.add_option("scenarios", names, "Scenarios to run (default: all)")
        ->check(CLI::IsMember(corvane::gen::scenarioNames()));
    app.add_option("--bin", bin, "Folder of the corvane program (default: beside this one)");
    app.add_option("--work", work, "Folder to keep each scenario's files in (default: removed)");
    app.add_option("--seed", seed, "Random seed of the scenarios")->capture_default_str();
    app.add_flag("--misses", misses, "List every missed target under the table");
    CLI11_PARSE(app, argc, argv);

    if (names.empty()) {
        names = corvane::gen::scenarioNames();
    }
    if (bin.empty()) {
        std::error_code ec;
        bin = fs::canonical("/proc/self/exe", ec).parent_path().string();
    }
    fs::path root = work;
    if (work.empty()) {
        std::string temp = (fs::temp_directory_path() / "corvane-eval-XXXXXX").string();
        if (::mkdtemp(temp.data()) == nullptr) {
            std::fprintf(stderr, "corvane-eval: cannot make a temporary folder\n");
            return 1;
        }
        root = temp;
    }

    std::vector<corvane::eval::Result> results;
    for (const auto& name : names) {
        std::fprintf(stderr, "corvane-eval: %s\n", name.c_str());
        results.push_back(corvane::eval::evaluate(name, seed, bin, root / name));
    }
    std::fputs(corvane::eval::table(results).c_str(), stdout);
    if (misses) {
        for (const auto& r : results) {
            for (const auto& miss : r.misses()) {
                std::printf("%s: %s\n", r.scenario.c_str(), miss.c_str());
            }
        }
    }
    if (work.empty()) {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    return 0;
}
