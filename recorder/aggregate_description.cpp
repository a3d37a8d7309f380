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
                                 const std::string& tapUUID) {
  return Value::Dictionary{
      {"name", aggregateDeviceName(targets)},
      {"uid", deviceUID},
      {"master", outputDeviceUID},
      {"private", true},
      {"stacked", false},
      {"tapautostart", true},
      {"subdevices", Value::List{Value::Dictionary{{"uid", outputDeviceUID}}}},
      {"taps", Value::List{Value::Dictionary{{"drift", true}, {"uid", tapUUID}}}},
  };
}

}  // namespace pt
