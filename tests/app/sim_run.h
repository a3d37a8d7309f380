// Runs the built process-tap-sim as a user would, in a fresh working directory.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace pt::testing {

struct SimRun {
  int exitStatus = -1;  // -1 when the process did not exit normally
  std::string out;
  std::string err;
  std::filesystem::path directory;  // the run's working directory, left for inspection
};

// `scenarioText` is written to scenario.json in the working directory and passed first.
SimRun runSimText(const std::string& scenarioText, const std::vector<std::string>& arguments);
SimRun runSim(const nlohmann::json& scenario, const std::vector<std::string>& arguments);
// Runs process-tap-sim with exactly `arguments`, no scenario written.
SimRun runSimRaw(const std::vector<std::string>& arguments);

// The examples/ folder of the source tree.
std::filesystem::path examplesDirectory();

}  // namespace pt::testing
