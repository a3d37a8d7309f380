#include "audio/property_access.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "audio/simulated/simulated_platform.h"

namespace pt {
namespace {

constexpr AudioObjectID kObject{7};

class PropertyRead : public ::testing::Test {
 protected:
  sim::SimulatedPlatform platform;
  sim::PlatformScope scope{platform};
};

std::string bytesOf(std::uint32_t value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

std::string messageOf(const std::function<void()>& read) {
  try {
    read();
  } catch (const TextError& error) {
    return error.text();
  }
  return "(no error)";
}

TEST_F(PropertyRead, ReadsAtTheAddressAndQualifierAsked) {
  platform.setValue(kObject, fourCC("outp"), std::int32_t(812));
  EXPECT_EQ(kObject.read<std::int32_t>(fourCC("outp"), -1, fourCC("inpt"), 3), 812);
  platform.setProcessObjectForPid(812, AudioObjectID(55));  // 812 is 0x032C
  EXPECT_EQ(AudioObjectID::system.read<AudioObjectID>(
                kAudioHardwarePropertyTranslatePIDToProcessObject, {}, qualifier(812)),
            55u);
  EXPECT_EQ(platform.calls().at(1), "getPropertyData 7 'outp' 'inpt' 3 q0=null cap4");
}

// The default value is the content the platform writes over, so it shows through wherever the
// platform writes nothing; a platform that reports more than one value is handed the room of one.
TEST_F(PropertyRead, ReadsAtMostOneValueOverTheDefault) {
  struct Case {
    std::string data;
    std::optional<std::uint32_t> reportedSize;
    std::uint32_t expected;
    const char* capacity;
  };
  const std::vector<Case> cases = {
      {"", std::nullopt, 0xAABBCCDDu, "cap0"},
      {std::string("\x01\x02", 2), std::nullopt, 0xAABB0201u, "cap2"},
      {bytesOf(5), std::nullopt, 5u, "cap4"},
      {bytesOf(0x11111111u) + bytesOf(0x22222222u), 64, 0x11111111u, "cap4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.capacity);
    platform.setBytes(kObject, kAudioProcessPropertyIsRunning, c.data).reportedSize =
        c.reportedSize;
    EXPECT_EQ(kObject.read<std::uint32_t>(kAudioProcessPropertyIsRunning, 0xAABBCCDDu), c.expected);
    EXPECT_THAT(platform.calls().back(), ::testing::EndsWith(c.capacity));
  }
}

TEST_F(PropertyRead, FailuresCarryTheSignedStatusOfTheirStageAndLeaveNoStringBehind) {
  const std::vector<std::tuple<OSStatus, OSStatus, const char*>> cases = {
      {kAudio_ParamError, 0, "读取 Core Audio 属性大小失败：-50"},
      {kAudioHardwareBadObjectError, 0, "读取 Core Audio 属性大小失败：560947818"},
      {0, kAudio_ParamError, "读取 Core Audio 属性失败：-50"},
      {0, kAudioHardwareUnknownPropertyError, "读取 Core Audio 属性失败：2003332927"},
  };
  for (const auto& [sizeStatus, dataStatus, message] : cases) {
    platform.setValue(kObject, kAudioProcessPropertyPID, std::int32_t(1));
    platform.failProperty(kObject, kAudioProcessPropertyPID, sizeStatus, dataStatus);
    platform.clearCalls();
    EXPECT_EQ(messageOf([] { kObject.read<std::int32_t>(kAudioProcessPropertyPID, -1); }), message);
    EXPECT_EQ(platform.calls().size(), sizeStatus != 0 ? 1u : 2u);  // a failed size query ends it
    platform.setString(kObject, kAudioProcessPropertyBundleID, "com.apple.Music");
    platform.failProperty(kObject, kAudioProcessPropertyBundleID, sizeStatus, dataStatus);
    EXPECT_EQ(messageOf([] { kObject.readString(kAudioProcessPropertyBundleID); }), message);
    EXPECT_EQ(platform.liveStrings(), 0);
  }
}

TEST_F(PropertyRead, ReadBoolIsTrueOnlyForOneAndFalseWhenTheReadFails) {
  for (std::uint32_t value : {0u, 2u, 0xFFFFFFFFu, 1u}) {
    platform.setValue(kObject, kAudioProcessPropertyIsRunning, value);
    EXPECT_EQ(kObject.readBool(kAudioProcessPropertyIsRunning), value == 1) << value;
  }
  platform.failProperty(kObject, kAudioProcessPropertyIsRunning, 0, kAudio_ParamError);
  EXPECT_FALSE(kObject.readBool(kAudioProcessPropertyIsRunning));
  platform.failProperty(kObject, kAudioProcessPropertyIsRunning, kAudio_ParamError, 0);
  EXPECT_FALSE(kObject.readBool(kAudioProcessPropertyIsRunning));
}

}  // namespace
}  // namespace pt
