// The command-line entry: arguments, target selection, one recording.
#pragma once

#include <span>
#include <string_view>

namespace pt {

struct ProcessTapCaptureDemo {
  // Throws whatever target selection or the recording throws, after the recorder is released.
  static void main(std::span<const std::string_view> arguments);
};

// Runs the entry on the installed platform and reports an error on standard error, a mistake in
// the command line followed by the usage line. Returns the process's exit status. `arguments`
// excludes the program path.
int runProcessTap(std::span<const std::string_view> arguments);

}  // namespace pt
