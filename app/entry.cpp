#include "app/entry.h"

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
