#include "app/entry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/arguments.h"
#include "recorder/interruption.h"
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

// When the file at `path` was last written, if there is one.
std::optional<std::filesystem::file_time_type> lastWritten(std::string_view path) {
  std::error_code error;
  const auto time = std::filesystem::last_write_time(std::filesystem::path(path), error);
  if (error) return std::nullopt;
  return time;
}

// The line that follows every error report: how to call the tool and where to read more.
std::string usageLine(std::string_view firstArgument, bool fileWritten) {
  std::string line = "用法：process-tap [OUTPUT [SECONDS [KEYWORD]]]";
  // There are no options: `process-tap --help` asks to record into a file named --help.
  if (firstArgument.starts_with('-') && !fileWritten)
    line += "；第一个参数（" + std::string(firstArgument) + "）是输出文件的路径，不是选项";
  return line + "；第三个参数为 --list 时列出音频客户端；详见 man process-tap";
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
  stopSignalsEndTheProcess();
  // A standard stream that the caller closed must not be taken over by the audio file or a
  // socket; read-only /dev/null holds its number, and writing to it still fails (EBADF).
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) ::open("/dev/null", O_RDONLY);
  const std::string_view first = arguments.empty() ? kDefaultOutputPath : arguments[0];
  const auto before = lastWritten(first);
  try {
    ProcessTapCaptureDemo::main(arguments);
    return 0;
  } catch (const std::exception& error) {
    std::fputs(error.what(), stderr);
    std::fputc('\n', stderr);
  } catch (...) {
    std::fputs("process-tap: unknown error\n", stderr);
  }
  const auto after = lastWritten(first);
  std::fputs(usageLine(first, after && after != before).c_str(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  return 1;
}

}  // namespace pt
