#include "recorder/aggregate_description.h"

namespace pt {

std::string aggregateDeviceName(const std::vector<AudioProcessInfo>& targets) {
  std::string name = kAggregateDeviceNamePrefix;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (i > 0) name += '+';
    name += targets[i].name;
  }
  return name;
}

Value aggregateDeviceDescription(const std::vector<AudioProcessInfo>& targets,
                                 const std::string& deviceUID, const std::string& outputDeviceUID,
                                 const std::vector<std::string>& tapUUIDs,
                                 const std::optional<InputSubDevice>& input) {
  Value::List subdevices{Value::Dictionary{{"uid", outputDeviceUID}}};
  if (input) {
    Value::Dictionary entry{{"uid", input->uid}};
    if (input->drift) entry.emplace_back("drift", true);
    subdevices.push_back(std::move(entry));
  }
  Value::List taps;
  for (const std::string& uuid : tapUUIDs)
    taps.push_back(Value::Dictionary{{"drift", true}, {"uid", uuid}});
  return Value::Dictionary{
      {"name", aggregateDeviceName(targets)},
      {"uid", deviceUID},
      {"master", outputDeviceUID},
      {"private", true},
      {"stacked", false},
      // Without a tap, a start that waits for a tapped process to play would wait for nothing.
      {"tapautostart", !tapUUIDs.empty()},
      {"subdevices", std::move(subdevices)},
      {"taps", std::move(taps)},
  };
}

}  // namespace pt
