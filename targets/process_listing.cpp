#include "targets/process_listing.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "audio/text_error.h"
#include "targets/unicode_text.h"

namespace pt {
namespace {

[[noreturn]] void writeFailed(int error) {
  std::string message = std::string(kListingWriteFailed) + "：";
  message += error != 0 ? std::strerror(error) : "unknown error";
  throw TextError(std::move(message));
}

}  // namespace

std::vector<AudioProcessInfo> listingOrder(std::vector<AudioProcessInfo> processes) {
  // Normalise each name once instead of at every comparison.
  std::vector<std::pair<std::string, std::size_t>> keys;
  keys.reserve(processes.size());
  for (std::size_t i = 0; i < processes.size(); ++i) {
    keys.emplace_back(scalarOrderKey(processes[i].name), i);
  }
  std::stable_sort(keys.begin(), keys.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<AudioProcessInfo> sorted;
  sorted.reserve(processes.size());
  for (const auto& key : keys) sorted.push_back(std::move(processes[key.second]));
  return sorted;
}

std::string listingLine(const AudioProcessInfo& process) {
  std::string line = "pid=" + std::to_string(process.pid);
  line += process.audioActive ? " active=true" : " active=false";
  line += " name=";
  line += process.name;
  line += " bundle=";
  line += process.bundleID;
  line += '\n';
  return line;
}

std::string listingLine(const InputDevice& device) {
  return std::string("input default=") + (device.isDefault ? "true" : "false") +
         " channels=" + std::to_string(device.channels()) + " uid=" + device.uid +
         " name=" + device.name + '\n';
}

void writeListing(std::FILE* out, const std::vector<AudioProcessInfo>& processes,
                  const std::vector<InputDevice>& inputs) {
  std::vector<std::string> lines;
  for (const AudioProcessInfo& process : listingOrder(processes))
    lines.push_back(listingLine(process));
  for (const InputDevice& device : inputs) lines.push_back(listingLine(device));
  for (const std::string& line : lines) {
    errno = 0;
    // fwrite, not fputs: a name may hold a NUL byte.
    if (std::fwrite(line.data(), 1, line.size(), out) != line.size()) writeFailed(errno);
  }
  errno = 0;
  // A full disk or a closed pipe often shows only when the buffer is handed on.
  if (std::fflush(out) != 0 || std::ferror(out)) writeFailed(errno);
}

}  // namespace pt
