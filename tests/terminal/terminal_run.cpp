#include "tests/terminal/terminal_run.h"

#include <sys/wait.h>

#include <cstdio>
#include <vector>

namespace pt::testing {

TerminalRun runAtTerminal(const std::string& shellCommand) {
  std::string quoted = "'";
  for (char c : shellCommand) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  TerminalRun run;
  FILE* pipe = ::popen(
      ("timeout 60 script -qec " + quoted + " </dev/null' /dev/null </dev/null").c_str(), "r");
  if (pipe == nullptr) return run;
  char chunk[4096];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
    run.transcript.append(chunk, got);
  const int status = ::pclose(pipe);
  if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  return run;
}

std::string screenText(const std::string& transcript) {
  std::vector<std::string> lines(1);
  std::size_t column = 0;
  for (std::size_t i = 0; i < transcript.size(); ++i) {
    std::string& line = lines.back();
    if (transcript[i] == '\r') {
      column = 0;
    } else if (transcript[i] == '\n') {
      lines.emplace_back();
      column = 0;
    } else if (transcript.compare(i, 2, "\x1b[") == 0) {
      for (i += 2; i < transcript.size() && (transcript[i] < '@' || transcript[i] > '~');) ++i;
      if (i < transcript.size() && transcript[i] == 'K' && column < line.size())
        line.resize(column);
    } else {
      if (column >= line.size()) line.resize(column + 1, ' ');
      line[column++] = transcript[i];
    }
  }
  std::string screen;
  for (const std::string& line : lines) screen += line + "\n";
  return lines.back().empty() ? screen.substr(0, screen.size() - 1) : screen;
}

}  // namespace pt::testing
