// Runs a shell command at a pseudo-terminal (util-linux `script`), as at a user's terminal, and
// replays what the terminal received.
#pragma once

#include <string>

namespace pt::testing {

struct TerminalRun {
  int exitStatus = -1;
  std::string transcript;  // every byte the terminal received
};

TerminalRun runAtTerminal(const std::string& shellCommand);

// What a terminal shows once `transcript` is drawn: "\r", "\n" and erasing to the end of the
// line applied, colours dropped. Lines end in "\n".
std::string screenText(const std::string& transcript);

}  // namespace pt::testing
