#include "tests/terminal/pseudo_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace pt::testing {

TerminalRun runInTerminal(const std::vector<std::string>& argv,
                          const std::map<std::string, std::optional<std::string>>& environment,
                          std::chrono::seconds timeout, unsigned short columns) {
  TerminalRun run;
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return run;
  const std::string slaveName = ::ptsname(master);
  const winsize size{24, columns, 0, 0};

  // Everything the child needs is made before fork: a threaded parent may not allocate after it.
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (environment.count(text.substr(0, text.find('='))) == 0) variables.push_back(text);
  }
  for (const auto& [name, value] : environment)
    if (value) variables.push_back(name + "=" + *value);
  std::vector<char*> envp, args;
  for (std::string& v : variables) envp.push_back(v.data());
  envp.push_back(nullptr);
  std::vector<std::string> argvCopy = argv;
  for (std::string& a : argvCopy) args.push_back(a.data());
  args.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    const int slave = ::open(slaveName.c_str(), O_RDWR);
    const int null = ::open("/dev/null", O_RDONLY);
    if (slave < 0 || null < 0) ::_exit(127);
    ::ioctl(slave, TIOCSWINSZ, &size);
    ::dup2(null, 0);
    ::dup2(slave, 1);
    ::dup2(slave, 2);
    ::close(master);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  if (pid < 0) {
    ::close(master);
    return run;
  }

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      break;
    }
    pollfd ready{master, POLLIN, 0};
    if (::poll(&ready, 1, int(left.count())) < 0 && errno != EINTR) break;
    char chunk[4096];
    const ssize_t got = ::read(master, chunk, sizeof chunk);
    if (got > 0) {
      run.transcript.append(chunk, std::size_t(got));
    } else if (got == 0 || errno != EINTR) {
      break;  // every copy of the other side is closed: the program has ended
    }
  }
  ::close(master);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  const bool timedOut = std::chrono::steady_clock::now() >= deadline;
  if (!timedOut && WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  return run;
}

std::string screenText(const std::string& transcript) {
  std::vector<std::string> lines(1);
  std::size_t column = 0;
  for (std::size_t i = 0; i < transcript.size(); ++i) {
    const char c = transcript[i];
    std::string& line = lines.back();
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      lines.emplace_back();
      column = 0;
    } else if (c == '\x1b' && i + 1 < transcript.size() && transcript[i + 1] == '[') {
      std::size_t end = i + 2;
      while (end < transcript.size() && !(transcript[end] >= '@' && transcript[end] <= '~')) ++end;
      if (end < transcript.size() && transcript[end] == 'K' && column < line.size())
        line.resize(column);
      i = end;
    } else {
      if (column >= line.size()) line.resize(column + 1, ' ');
      line[column++] = c;
    }
  }
  std::string screen;
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) screen += lines[i] + "\n";
  if (!lines.back().empty()) screen += lines.back() + "\n";
  return screen;
}

}  // namespace pt::testing
