#include "app/entry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>

#include "app/arguments.h"
#include "app/output_paths.h"
#include "audio/file_settings.h"
#include "audio/platform.h"
#include "audio/text_error.h"
#include "audio/wav_stream.h"
#include "recorder/interruption.h"
#include "recorder/process_tap_recorder.h"
#include "targets/keyword_targets.h"

namespace pt {
namespace {

inline constexpr const char* kStdoutIsTerminal =
    "OUTPUT 为 - 时录音写到标准输出，而它是终端：请把它接到管道或文件";

// A file URL's path: relative paths are taken from the current directory. Standard output stays
// itself.
std::string fileURLPath(const std::string& path) {
  if (path == kPipeOutput) return path;
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.string();
}

// A path that cannot become a file of a container the platform writes: another command line
// would fix it.
void requireOutputFile(const std::string& path) {
  namespace fs = std::filesystem;
  // Audio on a terminal helps nobody, and a terminal may take its bytes for commands.
  if (path == kPipeOutput) {
    if (::isatty(STDOUT_FILENO)) throw TextError(kStdoutIsTerminal, TextError::Blame::commandLine);
    return;
  }
  const auto mistake = [&](const std::string& reason) {
    return TextError(cannotCreateFile(path, reason), TextError::Blame::commandLine);
  };
  std::error_code error;
  if (fs::is_directory(path, error)) throw mistake("这是一个文件夹，不是文件");
  const fs::path folder = fs::path(path).parent_path();
  if (!folder.empty() && !fs::is_directory(folder, error))
    throw mistake("文件夹 " + folder.string() + " 不存在");
  requireWrittenExtension(path);
}

// The line that follows a mistake in the command line: how to call the tool, where to read
// more, and which version this is.
std::string usageLine(std::string_view firstArgument) {
  std::string line = "用法：process-tap [OUTPUT [SECONDS [KEYWORD]]]";
  // There are no options: `process-tap --help` asks to record into a file named --help.
  if (firstArgument.starts_with('-') && firstArgument != kPipeOutput)
    line += "；第一个参数（" + std::string(firstArgument) + "）是输出文件的路径，不是选项";
  return line + "；第三个参数为 --list 时列出音频客户端；详见 man process-tap；版本：process-tap " +
         PT_VERSION;
}

void printLine(const std::string& line) {
  std::fputs(line.c_str(), stderr);
  std::fputc('\n', stderr);
}

}  // namespace

void ProcessTapCaptureDemo::main(std::span<const std::string_view> arguments) {
  const Arguments parsed = readArguments(arguments);
  const std::string path = fileURLPath(parsed.outputPath);
  // A file per target: the targets decide the paths, the extension is known before.
  const bool perTarget = path.find(kNamePlaceholder) != std::string::npos;
  if (parsed.keyword != kListKeyword) {
    if (perTarget)
      requireWrittenExtension(path);
    else
      requireOutputFile(path);
  }
  std::vector<TrackSource> tracks = trackSources(path, findTargets(parsed.keyword));
  if (perTarget)
    for (const TrackSource& track : tracks) requireOutputFile(track.path);
  std::shared_ptr<ProcessTapRecorder> recorder =
      ProcessTapRecorder::make(std::move(tracks), parsed.durationSeconds);
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
  bool mistake = false;
  try {
    ProcessTapCaptureDemo::main(arguments);
    return 0;
  } catch (const TextError& error) {
    printLine(error.text());
    mistake = error.blame() == TextError::Blame::commandLine;
  } catch (const std::exception& error) {
    printLine(error.what());
  } catch (...) {
    printLine("process-tap: unknown error");
  }
  if (const std::string reason = platform().unreachableServiceReason(); !reason.empty())
    printLine(reason);
  if (mistake) printLine(usageLine(arguments.empty() ? kDefaultOutputPath : arguments[0]));
  std::fflush(stderr);
  return 1;
}

}  // namespace pt
