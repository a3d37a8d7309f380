#include "processes/inventory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>

#include <algorithm>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "audio/simulated/simulated_platform.h"
#include "audio/text_error.h"

namespace pt {
namespace {

using ::testing::ElementsAre;

class Inventory : public ::testing::Test {
 protected:
  sim::SimulatedPlatform platform;
  sim::PlatformScope scope{platform};
};

std::vector<std::int32_t> pids(const std::vector<AudioProcessInfo>& processes) {
  std::vector<std::int32_t> out;
  for (const AudioProcessInfo& p : processes) out.push_back(p.pid);
  return out;
}

TEST_F(Inventory, BuildsOneRecordPerObjectWithAPositivePidInListOrder) {
  platform.addProcessObject({30, 812, std::string("com.apple.Music"), 1u});
  platform.addProcessObject({10, sim::Fail{kAudioHardwareBadObjectError}, std::string(), 1u});
  platform.addProcessObject({11, 0, std::string(), 1u});
  platform.addProcessObject({12, std::numeric_limits<std::int32_t>::min(), std::string(), 1u});
  platform.addProcessObject({20, 900, std::string("com.example.radio"), 0u});
  platform.addApplication({812, "Music", "ignored.when.read"});
  platform.setKernelName(900, "radiod");
  platform.failProperty(AudioObjectID(20), kAudioProcessPropertyIsRunningOutput,
                        kAudioHardwareUnknownPropertyError, 0);

  const std::vector<AudioProcessInfo> p = readAudioProcesses();
  ASSERT_EQ(pids(p), (std::vector<std::int32_t>{812, 900}));
  EXPECT_EQ(std::tie(p[0].objectID, p[0].name, p[0].bundleID, p[0].audioActive, p[0].outputActive),
            std::make_tuple(AudioObjectID(30), std::string("Music"), std::string("com.apple.Music"),
                            true, std::optional<bool>(false)));
  EXPECT_EQ(std::tie(p[1].objectID, p[1].name, p[1].bundleID, p[1].audioActive, p[1].outputActive),
            std::make_tuple(AudioObjectID(20), std::string("radiod"),
                            std::string("com.example.radio"), false, std::optional<bool>()));
}

TEST_F(Inventory, NameFallsBackFromTheFirstApplicationToTheKernelToUnknown) {
  using Name = std::optional<std::optional<std::string>>;  // outer nullopt: no application
  const Name none, nameless = std::optional<std::string>();
  const std::string bad = "\xEF\xBF\xBD";  // U+FFFD
  // clang-format off
  const std::vector<std::tuple<Name, std::optional<std::string>, std::string>> cases = {
      {std::optional<std::string>("Music"), "kernel", "Music"},
      {std::optional<std::string>(""), "kernel", ""}, {nameless, "kernel", "kernel"},
      {none, "kernel", "kernel"}, {none, std::nullopt, "Unknown 77"}, {none, "", "Unknown 77"},
      {none, std::string("Mus\xE9ic\xF0\x9F"), "Mus" + bad + "ic" + bad},
      {none, std::string("a\xC0\xAF"), "a" + bad + bad},  // overlong
      {none, std::string("\xED\xA0\x80z"), bad + bad + bad + "z"},  // a surrogate
      {none, std::string("\xF4\x90\x80\x80"), bad + bad + bad + bad},  // beyond U+10FFFF
      {none, std::string("abc\0def", 7), "abc"}};
  // clang-format on
  for (const auto& [application, kernelName, expected] : cases) {
    sim::SimulatedPlatform p;
    sim::PlatformScope inner(p);
    p.addProcessObject({AudioObjectID(10), 77, std::string("b"), 1u});
    if (application) p.addApplication({77, *application, std::nullopt});
    if (application) p.addApplication({77, "Later", std::nullopt});  // the first one counts
    if (kernelName) p.setKernelName(77, *kernelName);
    EXPECT_EQ(readAudioProcesses().at(0).name, expected);
  }
}

TEST_F(Inventory, BundleIdentifierFallsBackToTheApplicationOnlyWhenTheReadFails) {
  using Bundle = std::variant<std::string, sim::Fail, std::monostate>;
  const sim::Fail size{kAudioHardwareUnknownPropertyError};
  const std::optional<std::optional<std::string>> app = std::optional<std::string>("com.app");
  // clang-format off
  const std::vector<std::tuple<Bundle, std::optional<std::optional<std::string>>, std::string>> cases = {
      {std::string("com.core"), app, "com.core"}, {std::string(""), app, ""},
      {std::monostate{}, app, ""},  // a null string
      {size, app, "com.app"}, {size, std::optional<std::string>(), ""}, {size, std::nullopt, ""}};
  // clang-format on
  for (const auto& [read, application, expected] : cases) {
    SCOPED_TRACE(expected);
    sim::SimulatedPlatform p;
    sim::PlatformScope inner(p);
    p.addProcessObject({AudioObjectID(10), 77, read, 1u});
    if (application) p.addApplication({77, "Name", *application});
    EXPECT_EQ(readAudioProcesses().at(0).bundleID, expected);
    EXPECT_EQ(p.liveStrings(), 0);
  }
}

TEST_F(Inventory, ListIsCountedInWholeIDsAndAShrinkingListLeavesUnknownEntries) {
  EXPECT_THAT(readAudioProcesses(), ::testing::IsEmpty());
  platform.setProcessList({AudioObjectID(10), AudioObjectID(11)});
  auto* list = platform.property(AudioObjectID::system, kAudioHardwarePropertyProcessObjectList);
  list->reportedSize = 10;
  EXPECT_THAT(readProcessList(), ElementsAre(10u, 11u));
  platform.addProcessObject({12, 77, std::string(), 1u});
  platform.setProcessList({AudioObjectID(12)});
  list = platform.property(AudioObjectID::system, kAudioHardwarePropertyProcessObjectList);
  list->reportedSize = 12;  // three IDs counted, one delivered
  EXPECT_THAT(readProcessList(), ElementsAre(12u, 0u, 0u));
  EXPECT_THAT(pids(readAudioProcesses()), ElementsAre(77));
}

TEST_F(Inventory, ListReadFailuresCarryTheirStatus) {
  const std::vector<std::tuple<OSStatus, OSStatus, const char*>> cases = {
      {kAudio_ParamError, 0, "读取音频进程列表大小失败：-50"},
      {0, kAudioHardwareUnknownPropertyError, "读取音频进程列表失败：2003332927"}};
  for (const auto& [sizeStatus, dataStatus, message] : cases) {
    platform.failProperty(AudioObjectID::system, kAudioHardwarePropertyProcessObjectList,
                          sizeStatus, dataStatus);
    EXPECT_THROW(
        try { readAudioProcesses(); } catch (const TextError& error) {
          EXPECT_EQ(error.text(), message);
          throw;
        },
        TextError);
  }
}

}  // namespace
}  // namespace pt
