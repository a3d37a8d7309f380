#include "app/entry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>

#include "app/arguments.h"
#include "recorder/process_tap_recorder.h"
#include "targets/keyword_targets.h"

namespace pt {
namespace {

// A file URL's path: relative paths are taken from the current directory.
std::string fileURLPath(const std::string& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.string();
}

}  // namespace

void ProcessTapCaptureDemo::main(std::span<const std::string_view> arguments) {
  const Arguments parsed = readArguments(arguments);
  std::vector<AudioProcessInfo> targets = findTargets(parsed.keyword);
  std::shared_ptr<ProcessTapRecorder> recorder = ProcessTapRecorder::make(
      std::move(targets), fileURLPath(parsed.outputPath), parsed.durationSeconds);
  try {
    recorder->run();
  } catch (...) {
    recorder.reset();  // tears down what a failed run made before the error leaves
    throw;
  }
}

int runProcessTap(std::span<const std::string_view> arguments) {
  // A reader of standard output that went away makes the summary's write fail with EPIPE, which
  // is reported, instead of ending the process before the file is complete.
  std::signal(SIGPIPE, SIG_IGN);
  // A standard stream that the caller closed must not be taken over by the audio file or a
  // socket; read-only /dev/null holds its number, and writing to it still fails (EBADF).
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) ::open("/dev/null", O_RDONLY);
  try {
    ProcessTapCaptureDemo::main(arguments);
    return 0;
  } catch (const std::exception& error) {
    std::fputs(error.what(), stderr);
    std::fputc('\n', stderr);
  } catch (...) {
    std::fputs("process-tap: unknown error\n", stderr);
  }
  std::fflush(stderr);
  return 1;
}

}  // namespace pt
