// Runs a program with its standard output and error on a pseudo-terminal, as at a user's
// terminal, and replays what the terminal received.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pt::testing {

struct TerminalRun {
  int exitStatus = -1;     // -1 when the program did not exit normally or timed out
  std::string transcript;  // every byte the terminal received
};

// `environment` sets variables, or unsets those mapped to nullopt; the rest is inherited.
TerminalRun runInTerminal(const std::vector<std::string>& argv,
                          const std::map<std::string, std::optional<std::string>>& environment,
                          std::chrono::seconds timeout, unsigned short columns = 120);

// The text a terminal shows once `transcript` has been drawn: carriage returns, line feeds and
// erasing to the end of the line are applied, colours dropped. Lines end in "\n".
std::string screenText(const std::string& transcript);

}  // namespace pt::testing
