#include "processes/inventory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class Inventory : public ::testing::Test {
 protected:
  sim::SimulatedPlatform platform;
  sim::PlatformScope scope{platform};

  void addProcess(std::uint32_t id, std::variant<std::int32_t, sim::Fail> pid,
                  std::variant<std::string, sim::Fail, std::monostate> bundleID = std::string(),
                  std::variant<std::uint32_t, sim::Fail> running = 1u) {
    platform.addProcessObject({AudioObjectID(id), pid, bundleID, running});
  }

  AudioProcessInfo only() {
    std::vector<AudioProcessInfo> processes = readAudioProcesses();
    EXPECT_EQ(processes.size(), 1u);
    return processes.empty() ? AudioProcessInfo{} : processes.front();
  }

  // The calls that reach the platform, without the property reads' address noise.
  std::vector<std::string> callNames() {
    std::vector<std::string> out;
    for (const std::string& call : platform.calls()) {
      std::string shortened = call;
      // "getPropertyData 7 'ppid' ..." -> "data 7 'ppid'"
      for (const char* prefix : {"getPropertyDataSize ", "getPropertyData "}) {
        if (shortened.rfind(prefix, 0) == 0) {
          std::string rest = shortened.substr(std::string(prefix).size());
          std::string head = std::string(prefix) == "getPropertyDataSize " ? "size " : "data ";
          shortened = head + rest.substr(0, rest.find(" 'glob'"));
          break;
        }
      }
      out.push_back(shortened);
    }
    return out;
  }
};

std::vector<std::int32_t> pids(const std::vector<AudioProcessInfo>& processes) {
  std::vector<std::int32_t> out;
  for (const AudioProcessInfo& p : processes) out.push_back(p.pid);
  return out;
}

std::string messageOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const TextError& error) {
    return error.text();
  }
  return "(no error)";
}

TEST_F(Inventory, BuildsOneRecordPerObjectInListOrder) {
  addProcess(30, 812, std::string("com.apple.Music"), 1u);
  addProcess(20, 900, std::string("com.example.radio"), 0u);
  platform.addApplication({812, "Music", "ignored.when.read"});
  platform.setKernelName(900, "radiod");

  const std::vector<AudioProcessInfo> processes = readAudioProcesses();
  ASSERT_EQ(processes.size(), 2u);
  EXPECT_EQ(processes[0].pid, 812);
  EXPECT_EQ(processes[0].objectID, 30u);
  EXPECT_EQ(processes[0].name, "Music");
  EXPECT_EQ(processes[0].bundleID, "com.apple.Music");
  EXPECT_TRUE(processes[0].audioActive);
  EXPECT_EQ(processes[1].pid, 900);
  EXPECT_EQ(processes[1].objectID, 20u);
  EXPECT_EQ(processes[1].name, "radiod");
  EXPECT_FALSE(processes[1].audioActive);
  EXPECT_EQ(platform.liveStrings(), 0);
}

TEST_F(Inventory, ObjectsWithoutAPositivePidAreSkippedAndTheRestStillRead) {
  addProcess(10, sim::Fail{kAudioHardwareBadObjectError});
  addProcess(11, 0);
  addProcess(12, -5);
  addProcess(13, 77);
  addProcess(14, std::numeric_limits<std::int32_t>::min());
  addProcess(15, 78);

  EXPECT_THAT(pids(readAudioProcesses()), ElementsAre(77, 78));
  // Nothing else is asked of a skipped object.
  for (const std::string& call : callNames()) {
    for (const char* skipped : {" 10 '", " 11 '", " 12 '", " 14 '"}) {
      if (call.find(skipped) != std::string::npos) {
        EXPECT_THAT(call, HasSubstr("'ppid'"));
      }
    }
  }
}

TEST_F(Inventory, ReadsEachObjectInOrderAfterOneSnapshot) {
  addProcess(10, 77);
  addProcess(11, 0);
  addProcess(12, 78);
  platform.addApplication({78, "Radio", std::nullopt});

  readAudioProcesses();
  EXPECT_THAT(callNames(), ElementsAre("runningApplications",               //
                                       "size 1 'prs#'", "data 1 'prs#'",    //
                                       "size 10 'ppid'", "data 10 'ppid'",  //
                                       "procName 77 1024",                  //
                                       "size 10 'pbid'", "data 10 'pbid'",  //
                                       "size 10 'pir?'", "data 10 'pir?'",  //
                                       "size 11 'ppid'", "data 11 'ppid'",  //
                                       "size 12 'ppid'", "data 12 'ppid'",  //
                                       "size 12 'pbid'", "data 12 'pbid'",  //
                                       "size 12 'pir?'", "data 12 'pir?'"));
}

TEST_F(Inventory, NameFallsBackFromApplicationToKernelToUnknown) {
  struct Case {
    const char* name;
    std::optional<std::optional<std::string>> applicationName;  // outer nullopt: no application
    std::optional<std::string> kernelName;
    std::string expected;
    bool kernelAsked;
  };
  const std::vector<Case> cases = {
      {"application name", std::optional<std::string>("Music"), "music-kernel", "Music", false},
      {"empty application name", std::optional<std::string>(""), "music-kernel", "", false},
      {"application without a name", std::optional<std::string>(), "music-kernel", "music-kernel",
       true},
      {"no application", std::nullopt, "music-kernel", "music-kernel", true},
      {"no application, no kernel name", std::nullopt, std::nullopt, "Unknown 77", true},
      {"empty kernel name", std::nullopt, "", "Unknown 77", true},
      {"ill-formed kernel name", std::nullopt, std::string("Mus\xE9ic\xF0\x9F"),
       "Mus\xEF\xBF\xBDic\xEF\xBF\xBD", true},
      {"overlong kernel name", std::nullopt, std::string("a\xC0\xAF"), "a\xEF\xBF\xBD\xEF\xBF\xBD",
       true},
      {"surrogate in kernel name", std::nullopt, std::string("\xED\xA0\x80z"),
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDz", true},
      {"kernel name beyond U+10FFFF", std::nullopt, std::string("\xF4\x90\x80\x80"),
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", true},
      {"kernel name up to the first NUL", std::nullopt, std::string("abc\0def", 7), "abc", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimulatedPlatform p;
    sim::PlatformScope inner(p);
    p.addProcessObject({AudioObjectID(10), 77, std::string("b"), 1u});
    if (c.applicationName) p.addApplication({77, *c.applicationName, std::nullopt});
    if (c.kernelName) p.setKernelName(77, *c.kernelName);

    std::vector<AudioProcessInfo> processes = readAudioProcesses();
    ASSERT_EQ(processes.size(), 1u);
    EXPECT_EQ(processes[0].name, c.expected);
    const std::vector<std::string> calls = p.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "procName 77 1024"), c.kernelAsked ? 1 : 0);
  }
}

TEST_F(Inventory, BundleIdentifierFallsBackToTheApplicationOnlyWhenTheReadFails) {
  using Bundle = std::variant<std::string, sim::Fail, std::monostate>;
  struct Case {
    const char* name;
    Bundle read;
    std::optional<std::optional<std::string>> applicationBundle;  // outer nullopt: no application
    std::string expected;
  };
  const sim::Fail failed{kAudioHardwareUnknownPropertyError};
  const std::vector<Case> cases = {
      {"read text wins", std::string("com.core"), std::optional<std::string>("com.app"),
       "com.core"},
      {"read empty text wins", std::string(""), std::optional<std::string>("com.app"), ""},
      {"null string is empty", std::monostate{}, std::optional<std::string>("com.app"), ""},
      {"failed read, application has one", failed, std::optional<std::string>("com.app"),
       "com.app"},
      {"failed read, application has none", failed, std::optional<std::string>(), ""},
      {"failed read, no application", failed, std::nullopt, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimulatedPlatform p;
    sim::PlatformScope inner(p);
    p.addProcessObject({AudioObjectID(10), 77, c.read, 1u});
    if (c.applicationBundle) p.addApplication({77, "Name", *c.applicationBundle});
    std::vector<AudioProcessInfo> processes = readAudioProcesses();
    ASSERT_EQ(processes.size(), 1u);
    EXPECT_EQ(processes[0].bundleID, c.expected);
    EXPECT_EQ(p.liveStrings(), 0);
  }
}

TEST_F(Inventory, BundleReadFailingAtTheDataStageAlsoFallsBack) {
  addProcess(10, 77, std::string("com.core"));
  platform.failProperty(AudioObjectID(10), kAudioProcessPropertyBundleID, 0, kAudio_ParamError);
  platform.addApplication({77, "Name", "com.app"});
  EXPECT_EQ(only().bundleID, "com.app");
  EXPECT_EQ(platform.liveStrings(), 0);
}

TEST_F(Inventory, RunningOnlyForOne) {
  addProcess(10, 71, std::string(), 1u);
  addProcess(11, 72, std::string(), 0u);
  addProcess(12, 73, std::string(), 2u);
  addProcess(13, 74, std::string(), sim::Fail{kAudioHardwareUnknownPropertyError});
  std::vector<bool> active;
  for (const AudioProcessInfo& p : readAudioProcesses()) active.push_back(p.audioActive);
  EXPECT_THAT(active, ElementsAre(true, false, false, false));
}

TEST_F(Inventory, FirstApplicationWithAPidWins) {
  addProcess(10, 77, sim::Fail{kAudioHardwareUnknownPropertyError});
  platform.addApplication({12, "Other", "com.other"});
  platform.addApplication({77, "First", "com.first"});
  platform.addApplication({77, "Second", "com.second"});
  const AudioProcessInfo process = only();
  EXPECT_EQ(process.name, "First");
  EXPECT_EQ(process.bundleID, "com.first");
}

TEST_F(Inventory, ListThatShrinksLeavesTrailingUnknownEntries) {
  addProcess(10, 77);
  // Three IDs counted, one delivered.
  platform.property(AudioObjectID::system, kAudioHardwarePropertyProcessObjectList)->reportedSize =
      12;
  EXPECT_THAT(readProcessList(), ElementsAre(10u, 0u, 0u));

  platform.clearCalls();
  EXPECT_THAT(pids(readAudioProcesses()), ElementsAre(77));
  // The trailing zeros go through the pid read like any other ID.
  const std::vector<std::string> calls = callNames();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "size 0 'ppid'"), 2);
}

TEST_F(Inventory, ListSizeIsCountedInWholeIDs) {
  platform.setProcessList({AudioObjectID(10), AudioObjectID(11)});
  platform.property(AudioObjectID::system, kAudioHardwarePropertyProcessObjectList)->reportedSize =
      10;
  EXPECT_THAT(readProcessList(), ElementsAre(10u, 11u));
  EXPECT_EQ(platform.calls().back(), "getPropertyData 1 'prs#' 'glob' 0 q0=null cap8");
}

TEST_F(Inventory, EmptyListStillMakesTheDataRead) {
  EXPECT_THAT(readAudioProcesses(), IsEmpty());
  EXPECT_THAT(platform.calls(),
              ElementsAre("runningApplications", "getPropertyDataSize 1 'prs#' 'glob' 0 q0=null",
                          "getPropertyData 1 'prs#' 'glob' 0 q0=null cap0"));
}

TEST_F(Inventory, ListReadFailuresCarryTheirStatus) {
  struct Case {
    OSStatus sizeStatus;
    OSStatus dataStatus;
    const char* message;
  };
  const std::vector<Case> cases = {
      {kAudio_ParamError, 0, "读取音频进程列表大小失败：-50"},
      {kAudioHardwareBadObjectError, 0, "读取音频进程列表大小失败：560947818"},
      {0, kAudio_ParamError, "读取音频进程列表失败：-50"},
      {0, kAudioHardwareUnknownPropertyError, "读取音频进程列表失败：2003332927"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    sim::SimulatedPlatform p;
    sim::PlatformScope inner(p);
    p.addProcessObject({AudioObjectID(10), 77, std::string(), 1u});
    p.failProperty(AudioObjectID::system, kAudioHardwarePropertyProcessObjectList, c.sizeStatus,
                   c.dataStatus);
    EXPECT_EQ(messageOf([] { readProcessList(); }), c.message);
    EXPECT_EQ(messageOf([] { readAudioProcesses(); }), c.message);
  }
}

TEST_F(Inventory, TranslatesAPidUnchecked) {
  platform.setProcessObjectForPid(812, AudioObjectID(55));
  platform.setProcessObjectForPid(813, AudioObjectID::unknown);
  platform.setProcessObjectForPid(814, sim::Fail{kAudioHardwareBadObjectError});
  EXPECT_EQ(translatePIDToProcessObjectID(812), 55u);
  EXPECT_EQ(translatePIDToProcessObjectID(813), 0u);
  EXPECT_EQ(messageOf([] { translatePIDToProcessObjectID(814); }),
            "读取 Core Audio 属性大小失败：560947818");
  EXPECT_EQ(platform.calls().front(), "getPropertyDataSize 1 'id2p' 'glob' 0 q4=2c030000");
}

}  // namespace
}  // namespace pt
