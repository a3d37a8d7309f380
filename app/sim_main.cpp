// process-tap-sim SCENARIO.json [ARGS...]: the entry of process-tap, run over the simulated
// platform that the scenario describes. Exit status 2 means the scenario itself was at fault.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string_view>
#include <vector>

#include "app/entry.h"
#include "audio/simulated/scenario.h"
#include "audio/simulated/simulated_platform.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: process-tap-sim SCENARIO.json [ARGS...]\n", stderr);
    return 2;
  }
  pt::sim::SimulatedPlatform platform;
  try {
    pt::sim::loadScenario(platform, pt::sim::readScenarioFile(argv[1]));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "process-tap-sim: %s: %s\n", argv[1], error.what());
    return 2;
  }
  pt::sim::PlatformScope scope(platform);
  const std::vector<std::string_view> arguments(argv + 2, argv + argc);
  return pt::runProcessTap(arguments);
}
