#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "audio/simulated/simulated_platform.h"
#include "audio/text_error.h"
#include "processes/inventory.h"
#include "targets/keyword_targets.h"

namespace pt {
namespace {

class FindTargetsTest : public ::testing::Test {
 protected:
  FindTargetsTest() : scope_(sim_) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    sim_.addProcessObject({AudioObjectID(20), 700, std::string("com.example.radio"), 1u});
    sim_.addProcessObject({AudioObjectID(21), 812, std::string("com.apple.Music"), 1u});
    sim_.addProcessObject({AudioObjectID(22), 300, std::string(""), 0u});
    sim_.addApplication({812, "Music", "com.apple.Music"});
    sim_.setKernelName(700, "Radio");
    sim_.setKernelName(300, "Alarm");
  }

  sim::SimulatedPlatform sim_;
  sim::PlatformScope scope_;
};

TEST_F(FindTargetsTest, ReadsTheInventoryOnceForAllPieces) {
  const std::vector<AudioProcessInfo> targets = findTargets(" Radio ,Music,alarm,812");
  ASSERT_EQ(targets.size(), 3u);
  EXPECT_EQ(targets[0].name, "Radio");
  EXPECT_EQ(std::uint32_t(targets[1].objectID), 21u);
  EXPECT_EQ(targets[2].pid, 300);
  const std::vector<std::string> calls = sim_.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "runningApplications"), 1);
}

TEST_F(FindTargetsTest, InventoryErrorPassesThroughForEveryKeyword) {
  sim_.failProperty(AudioObjectID::system, kAudioHardwarePropertyProcessObjectList,
                    kAudioHardwareBadObjectError, 0);
  const std::string expected =
      statusMessage(kProcessListSizeReadFailed, kAudioHardwareBadObjectError);
  for (const char* keyword : {"--list", "Music", "", "auto"}) {
    try {
      findTargets(keyword);
      ADD_FAILURE() << keyword;
    } catch (const TextError& error) {
      EXPECT_EQ(error.text(), expected) << keyword;
    }
  }
}

TEST_F(FindTargetsTest, OnlyTheExactListKeywordLists) {
  const std::pair<const char*, const char*> cases[] = {
      {"--LIST", "未找到音频进程：--LIST"},
      {" --list", "未找到音频进程：--list"},
      {"--list\n", "未找到音频进程：--list"},
      {"Music,--list", "未找到音频进程：--list"},
  };
  for (const auto& [keyword, expected] : cases) {
    try {
      findTargets(keyword);
      ADD_FAILURE() << keyword;
    } catch (const TextError& error) {
      EXPECT_EQ(error.text(), expected) << keyword;
    }
  }
}

TEST_F(FindTargetsTest, ListingExitsWithZeroAfterWritingIt) {
  const std::string path = ::testing::TempDir() + "listing.txt";
  std::remove(path.c_str());
  EXPECT_EXIT(
      {
        if (!std::freopen(path.c_str(), "w", stdout)) std::_Exit(99);
        findTargets("--list");
        std::_Exit(98);
      },
      ::testing::ExitedWithCode(0), "");
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  EXPECT_EQ(text.str(),
            "pid=300 active=false name=Alarm bundle=\n"
            "pid=812 active=true name=Music bundle=com.apple.Music\n"
            "pid=700 active=true name=Radio bundle=com.example.radio\n");
}

// What the entry does with the error; the test only needs a status that is not 0.
[[noreturn]] void listAndReport() {
  try {
    findTargets("--list");
  } catch (const TextError& error) {
    std::fprintf(stderr, "%s\n", error.what());
    std::_Exit(3);
  }
  std::_Exit(98);
}

TEST_F(FindTargetsTest, ListingThatCannotBeWrittenFails) {
  EXPECT_EXIT(
      {
        if (!std::freopen("/dev/full", "w", stdout)) std::_Exit(99);
        listAndReport();
      },
      ::testing::ExitedWithCode(3), "写入音频进程列表失败");
  // The tool itself must keep a closed pipe from killing it before it can report.
  EXPECT_EXIT(
      {
        int ends[2];
        if (pipe(ends) != 0 || dup2(ends[1], STDOUT_FILENO) < 0) std::_Exit(99);
        close(ends[0]);
        listAndReport();
      },
      ::testing::ExitedWithCode(3), "写入音频进程列表失败");
}

}  // namespace
}  // namespace pt
