#include "audio/property_access.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "audio/simulated/simulated_platform.h"

namespace pt {
namespace {

using ::testing::ElementsAre;

constexpr AudioObjectID kObject{7};

class PropertyRead : public ::testing::Test {
 protected:
  sim::SimulatedPlatform platform;
  sim::PlatformScope scope{platform};
};

std::string bytesOf(std::uint32_t value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

TEST_F(PropertyRead, AsksForTheSizeThenTheDataAtTheSameAddress) {
  platform.setValue(kObject, fourCC("outp"), std::int32_t(812));
  EXPECT_EQ(kObject.read<std::int32_t>(fourCC("outp"), -1, fourCC("inpt"), 3), 812);
  EXPECT_THAT(platform.calls(), ElementsAre("getPropertyDataSize 7 'outp' 'inpt' 3 q0=null",
                                            "getPropertyData 7 'outp' 'inpt' 3 q0=null cap4"));
}

TEST_F(PropertyRead, DefaultsToTheGlobalScopeAndTheMainElement) {
  platform.setValue(kObject, kAudioProcessPropertyPID, std::int32_t(1));
  kObject.read<std::int32_t>(kAudioProcessPropertyPID, -1);
  EXPECT_THAT(platform.calls(), ElementsAre("getPropertyDataSize 7 'ppid' 'glob' 0 q0=null",
                                            "getPropertyData 7 'ppid' 'glob' 0 q0=null cap4"));
}

// The default value is the content the platform writes over, so it shows through wherever the
// platform writes nothing.
TEST_F(PropertyRead, DefaultValueIsTheInitialContent) {
  struct Case {
    const char* name;
    std::string data;
    std::uint32_t expected;
  };
  const std::vector<Case> cases = {
      {"zero bytes yield the default", "", 0xAABBCCDDu},
      {"short data keeps the tail of the default", std::string("\x01\x02", 2), 0xAABB0201u},
      {"full data replaces it", bytesOf(5), 5u},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform.setBytes(kObject, kAudioProcessPropertyIsRunning, c.data);
    EXPECT_EQ(kObject.read<std::uint32_t>(kAudioProcessPropertyIsRunning, 0xAABBCCDDu), c.expected);
  }
}

TEST_F(PropertyRead, ZeroByteDataIsReadWithZeroCapacity) {
  platform.setBytes(kObject, kAudioProcessPropertyPID, "");
  EXPECT_EQ(kObject.read<std::int32_t>(kAudioProcessPropertyPID, -1), -1);
  EXPECT_EQ(platform.calls().back(), "getPropertyData 7 'ppid' 'glob' 0 q0=null cap0");
}

// A platform that reports more than one value must still be handed only the room of one value;
// the read then keeps what fits.
TEST_F(PropertyRead, OverSizeDataIsClampedToOneValue) {
  std::string data = bytesOf(0x11111111u) + bytesOf(0x22222222u) + bytesOf(0x33333333u);
  platform.setBytes(kObject, kAudioProcessPropertyPID, data).reportedSize = 64;
  EXPECT_EQ(kObject.read<std::uint32_t>(kAudioProcessPropertyPID, 0), 0x11111111u);
  EXPECT_EQ(platform.calls().back(), "getPropertyData 7 'ppid' 'glob' 0 q0=null cap4");
}

TEST_F(PropertyRead, OverSizeRecordIsClampedToTheRecord) {
  AudioStreamBasicDescription format{};
  format.mSampleRate = 48000;
  format.mChannelsPerFrame = 2;
  std::string data(reinterpret_cast<const char*>(&format), sizeof format);
  data += std::string(24, '\xEE');
  platform.setBytes(kObject, kAudioTapPropertyFormat, data);

  const AudioStreamBasicDescription read =
      kObject.read<AudioStreamBasicDescription>(kAudioTapPropertyFormat, {});
  EXPECT_EQ(read.mSampleRate, 48000);
  EXPECT_EQ(read.mChannelsPerFrame, 2u);
  EXPECT_EQ(platform.calls().back(), "getPropertyData 7 'tfmt' 'glob' 0 q0=null cap40");
}

struct FailureCase {
  const char* name;
  OSStatus sizeStatus;
  OSStatus dataStatus;
  const char* message;
};

const std::vector<FailureCase> kFailures = {
    {"size, negative", kAudio_ParamError, 0, "读取 Core Audio 属性大小失败：-50"},
    {"size, bad object", kAudioHardwareBadObjectError, 0,
     "读取 Core Audio 属性大小失败：560947818"},
    {"size, unknown property", kAudioHardwareUnknownPropertyError, 0,
     "读取 Core Audio 属性大小失败：2003332927"},
    {"data, negative", 0, kAudio_ParamError, "读取 Core Audio 属性失败：-50"},
    {"data, bad object", 0, kAudioHardwareBadObjectError, "读取 Core Audio 属性失败：560947818"},
    {"data, unknown property", 0, kAudioHardwareUnknownPropertyError,
     "读取 Core Audio 属性失败：2003332927"},
};

std::string messageOf(const std::function<void()>& read) {
  try {
    read();
  } catch (const TextError& error) {
    EXPECT_STREQ(error.what(), error.text().c_str());
    return error.text();
  }
  return "(no error)";
}

TEST_F(PropertyRead, FailuresCarryTheSignedStatusOfTheirStage) {
  for (const FailureCase& c : kFailures) {
    SCOPED_TRACE(c.name);
    platform.setValue(kObject, kAudioProcessPropertyPID, std::int32_t(1));
    platform.failProperty(kObject, kAudioProcessPropertyPID, c.sizeStatus, c.dataStatus);
    platform.clearCalls();
    EXPECT_EQ(messageOf([] { kObject.read<std::int32_t>(kAudioProcessPropertyPID, -1); }),
              c.message);
    // A failed size query ends the read.
    EXPECT_EQ(platform.calls().size(), c.sizeStatus != 0 ? 1u : 2u);
  }
}

TEST_F(PropertyRead, MissingObjectsAndPropertiesFailTheSizeQuery) {
  EXPECT_EQ(messageOf([] { AudioObjectID(99).read<std::int32_t>(kAudioProcessPropertyPID, -1); }),
            "读取 Core Audio 属性大小失败：560947818");
  platform.addObject(kObject);
  EXPECT_EQ(messageOf([] { kObject.read<std::int32_t>(kAudioProcessPropertyPID, -1); }),
            "读取 Core Audio 属性大小失败：2003332927");
}

TEST_F(PropertyRead, QualifierIsSentAsItsFourBytesOnTheGlobalAddress) {
  const std::int32_t pid = 812;  // 0x032C
  platform.setProcessObjectForPid(pid, AudioObjectID(55));
  EXPECT_EQ(
      AudioObjectID::system.read<AudioObjectID>(kAudioHardwarePropertyTranslatePIDToProcessObject,
                                                AudioObjectID::unknown, qualifier(pid)),
      55u);
  EXPECT_THAT(platform.calls(), ElementsAre("getPropertyDataSize 1 'id2p' 'glob' 0 q4=2c030000",
                                            "getPropertyData 1 'id2p' 'glob' 0 q4=2c030000 cap4"));
}

TEST_F(PropertyRead, QualifiedReadFailuresPassThrough) {
  platform.setProcessObjectForPid(812, sim::Fail{kAudioHardwareBadObjectError});
  EXPECT_EQ(messageOf([] {
              AudioObjectID::system.read<AudioObjectID>(
                  kAudioHardwarePropertyTranslatePIDToProcessObject, AudioObjectID::unknown,
                  qualifier(std::int32_t(812)));
            }),
            "读取 Core Audio 属性大小失败：560947818");
}

TEST_F(PropertyRead, ReadBoolIsTrueOnlyForOne) {
  struct Case {
    const char* name;
    std::optional<std::uint32_t> value;  // nullopt: the read fails
    OSStatus dataStatus;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"1", 1u, 0, true},
      {"0", 0u, 0, false},
      {"2", 2u, 0, false},
      {"all bits", 0xFFFFFFFFu, 0, false},
      {"size query fails", std::nullopt, 0, false},
      {"data read fails", 1u, kAudioHardwareUnknownPropertyError, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimulatedPlatform p;
    sim::PlatformScope inner(p);
    if (c.value) {
      p.setValue(kObject, kAudioProcessPropertyIsRunning, *c.value).dataStatus = c.dataStatus;
    } else {
      p.failProperty(kObject, kAudioProcessPropertyIsRunning, kAudio_ParamError, 0);
    }
    EXPECT_EQ(kObject.readBool(kAudioProcessPropertyIsRunning), c.expected);
  }
}

TEST_F(PropertyRead, ReadStringGivesTheTextAndLeavesNoStringBehind) {
  struct Case {
    const char* name;
    std::optional<std::string> text;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"text", "com.apple.Music", "com.apple.Music"},
      {"non-ASCII text", "网易云音乐", "网易云音乐"},
      {"empty text", "", ""},
      {"null string", std::nullopt, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform.setString(kObject, kAudioProcessPropertyBundleID, c.text);
    EXPECT_EQ(kObject.readString(kAudioProcessPropertyBundleID), c.expected);
    EXPECT_EQ(platform.liveStrings(), 0);
  }
}

// A platform that writes nothing hands the initial empty string back; it must be released once.
TEST_F(PropertyRead, ReadStringWithNoDataReleasesTheInitialStringOnce) {
  platform.setBytes(kObject, kAudioProcessPropertyBundleID, "");
  EXPECT_EQ(kObject.readString(kAudioProcessPropertyBundleID), "");
  EXPECT_EQ(platform.liveStrings(), 0);
}

TEST_F(PropertyRead, ReadStringFailuresPassThroughWithoutLeaks) {
  for (const FailureCase& c : kFailures) {
    SCOPED_TRACE(c.name);
    platform.setString(kObject, kAudioProcessPropertyBundleID, "com.apple.Music");
    platform.failProperty(kObject, kAudioProcessPropertyBundleID, c.sizeStatus, c.dataStatus);
    EXPECT_EQ(messageOf([] { kObject.readString(kAudioProcessPropertyBundleID); }), c.message);
    EXPECT_EQ(platform.liveStrings(), 0);
  }
}

TEST(AudioObjectIDValues, OnlyUnknownIsInvalid) {
  EXPECT_FALSE(AudioObjectID(0).isValid());
  EXPECT_FALSE(AudioObjectID::unknown.isValid());
  EXPECT_TRUE(AudioObjectID(1).isValid());
  EXPECT_TRUE(AudioObjectID::system.isValid());
  EXPECT_TRUE(AudioObjectID(4294967295u).isValid());
  EXPECT_EQ(std::uint32_t(AudioObjectID::system), 1u);
  EXPECT_EQ(std::uint32_t(AudioObjectID::unknown), 0u);
}

}  // namespace
}  // namespace pt
