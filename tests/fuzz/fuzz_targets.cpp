// Arbitrary bytes as the keyword and as process names and bundle identifiers, through target
// resolution, the automatic choice, the listing and the text operations. Besides the sanitizers'
// own checks it traps on results that break the functions' promises.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "audio/text_error.h"
#include "processes/valid_utf8.h"
#include "targets/auto_target.h"
#include "targets/keyword_targets.h"
#include "targets/process_listing.h"
#include "targets/unicode_text.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

bool isValidUtf8(const std::string& text) { return pt::toValidUtf8(text) == text; }

void checkTextOperations(const std::string& a, const std::string& b) {
  const std::string lower = pt::lowercased(a);
  require(isValidUtf8(lower));
  require(pt::canonicallyEqual(a, a));
  require(pt::canonicallyEqual(a, pt::scalarOrderKey(a)));
  require(pt::canonicallyContains(a, a) == !a.empty());
  if (pt::canonicallyContains(a, b)) require(!b.empty());

  const std::string_view trimmed = pt::trimmedWhitespaceAndNewlines(a);
  require(trimmed.data() >= a.data() && trimmed.data() + trimmed.size() <= a.data() + a.size());
  require(pt::trimmedWhitespaceAndNewlines(trimmed) == trimmed);
}

bool isAmong(const pt::AudioProcessInfo& target,
             const std::vector<pt::AudioProcessInfo>& processes) {
  if (target.pid == 0 && !target.objectID.isValid()) return true;  // the global target
  return std::any_of(processes.begin(), processes.end(), [&](const pt::AudioProcessInfo& p) {
    return p.pid == target.pid && p.objectID == target.objectID && p.name == target.name;
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string keyword = input.ConsumeRandomLengthString(256);
  std::vector<pt::AudioProcessInfo> processes;
  const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, 8);
  for (std::size_t i = 0; i < count && input.remaining_bytes() > 0; ++i) {
    // Small pids, so that numeric keywords meet them often.
    const std::int32_t pid = input.ConsumeIntegralInRange<std::int32_t>(1, 1000);
    std::string name = input.ConsumeRandomLengthString(128);
    std::string bundleID = input.ConsumeRandomLengthString(128);
    const bool active = input.ConsumeBool();
    processes.push_back(pt::AudioProcessInfo{pid, pt::AudioObjectID(std::uint32_t(i) + 100),
                                             std::move(name), std::move(bundleID), active});
  }

  std::vector<pt::InputDevice> inputs;
  const std::size_t devices = input.ConsumeIntegralInRange<std::size_t>(0, 3);
  for (std::size_t i = 0; i < devices && input.remaining_bytes() > 0; ++i)
    inputs.push_back({pt::AudioObjectID(std::uint32_t(i) + 200),
                      input.ConsumeRandomLengthString(64),
                      "uid",
                      {1},
                      input.ConsumeBool()});

  try {
    const pt::KeywordTargets resolved = pt::resolveTargets(keyword, processes, inputs);
    const std::vector<pt::AudioProcessInfo>& targets = resolved.targets;
    // Only a keyword that names an input device records no process.
    require(!targets.empty() || resolved.input);
    if (resolved.input)
      require(std::any_of(inputs.begin(), inputs.end(), [&](const pt::InputDevice& device) {
        return device.objectID == resolved.input->objectID;
      }));
    std::set<std::int32_t> seen;
    for (const pt::AudioProcessInfo& target : targets) {
      require(seen.insert(target.pid).second);
      require(isAmong(target, processes));
    }
    for (const pt::AudioProcessInfo& excluded : resolved.excluded)
      require(excluded.objectID.isValid() && isAmong(excluded, processes));
    require(resolved.excluded.empty() || !targets.front().objectID.isValid());
  } catch (const pt::TextError& error) {
    require(error.text().rfind(pt::kProcessNotFound, 0) == 0 ||
            error.text().rfind(pt::kExclusionBesideTargets, 0) == 0 ||
            error.text().rfind(pt::kInputDeviceNotFound, 0) == 0 ||
            error.text().rfind(pt::kNoDefaultInputDevice, 0) == 0 ||
            error.text().rfind(pt::kOneInputDevice, 0) == 0);
    require(isValidUtf8(error.text()));
  }

  const pt::AudioProcessInfo automatic = pt::findAutoTarget(processes);
  require(isAmong(automatic, processes));
  if (automatic.objectID.isValid()) require(!pt::shouldSkipAutoTarget(automatic));

  const std::vector<pt::AudioProcessInfo> listed = pt::listingOrder(processes);
  require(listed.size() == processes.size());
  for (std::size_t i = 1; i < listed.size(); ++i) {
    require(pt::scalarOrderKey(listed[i - 1].name) <= pt::scalarOrderKey(listed[i].name));
  }
  static std::FILE* sink = std::fopen("/dev/null", "w");
  if (sink) pt::writeListing(sink, processes, inputs);

  checkTextOperations(keyword, processes.empty() ? std::string() : processes[0].name);
  for (const pt::AudioProcessInfo& process : processes) {
    checkTextOperations(process.name, keyword);
    checkTextOperations(process.bundleID, process.name);
  }
  return 0;
}
