#pragma once

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

/// Labelled scenarios for judging the detection: scripted evidence logs in which every
/// address, device tail and account is known to be the owner's or foreign, with the verdict
/// the analysis should reach.
namespace corvane::gen {

struct Scenario {
    /// The evidence log as the capture writes it, one line each, without line feeds.
    std::vector<std::string> lines;
    /// What is whose, the setup window (when the owner ran the setup) and the verdict due.
    nlohmann::json truth;
};

/// The scenario names, in the order the evaluation lists them.
const std::vector<std::string>& scenarioNames();

/// The scenario of that name; none for an unknown name. The same seed gives the same bytes.
std::optional<Scenario> makeScenario(const std::string& name, uint64_t seed);

/// Writes DIR/CV_personal.log and DIR/truth.json (creating DIR); false for an unknown name
/// or a failed write.
bool writeScenario(const std::string& name, const std::filesystem::path& dir, uint64_t seed);

} // namespace corvane::gen
