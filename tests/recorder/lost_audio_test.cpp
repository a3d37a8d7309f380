// Audio that never reached the file: cycles whose input could not be read and cycles the file
// refused are counted, summed up after the summary and make the run fail.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "audio/simulated/simulated_platform.h"
#include "audio/text_error.h"
#include "recorder/process_tap_recorder.h"

namespace pt {
namespace {

// Answers nothing for the chosen calls of makePCMBufferNoCopy (1 is the first), as the real
// platform does for an input list that does not fit the capture format.
class UnreadablePlatform : public sim::SimulatedPlatform {
 public:
  std::optional<PCMBuffer> makePCMBufferNoCopy(const AudioFormat& format,
                                               const AudioBufferList* list) noexcept override {
    if (unreadable.count(++calls) != 0) return std::nullopt;
    return SimulatedPlatform::makePCMBufferNoCopy(format, list);
  }
  std::set<int> unreadable;
  int calls = 0;
};

struct Case {
  const char* name;
  std::set<int> unreadable;
  std::set<std::int64_t> failingWrites;
  bool deviceLost;
  std::string summary;  // the counts in the summary
  std::string err;      // standard error before the error
  std::string error;    // the error the entry reports
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class LostAudioTest : public ::testing::TestWithParam<Case> {};

TEST_P(LostAudioTest, IsCountedAfterTheSummaryAndFailsTheRun) {
  const Case& c = GetParam();
  UnreadablePlatform sim;
  sim::PlatformScope scope(sim);
  sim.addProcessObject({11, 812, std::string("com.apple.Music"), 1u});
  sim.addOutputDevice(60, "Speakers");
  sim.setTone(11, 440);
  sim.unreadable = c.unreadable;
  sim.setWriteFailures(c.failingWrites);
  if (c.deviceLost) sim.loseDeviceAt(0.04);
  const std::string path = std::filesystem::temp_directory_path() /
                           ("pt-lost-" + std::to_string(::getpid()) + c.name + ".caf");

  auto recorder =
      ProcessTapRecorder::make({{812, 11, "Music", "com.apple.Music", true}}, path, 0.05);
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  std::string error;
  try {
    recorder->run();
  } catch (const TextError& e) {
    error = e.what();
  }
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.err);
  EXPECT_EQ(error, c.error);
  EXPECT_THAT(out, ::testing::HasSubstr(c.summary));

  // The summary counts what the file holds.
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  ASSERT_NE(file, nullptr);
  sf_close(file);
  std::filesystem::remove(path);
  EXPECT_THAT(out, ::testing::HasSubstr(" frames=" + std::to_string(info.frames) + " "));
}

const std::string kWriteLine = "写入 Tap 音频失败：模拟的写入失败\n";

// 0.05 s holds four cycles of 512 frames; 0.04 s three.
INSTANTIATE_TEST_SUITE_P(
    Cycles, LostAudioTest,
    ::testing::Values(
        Case{"Unread",
             {1, 4},
             {},
             false,
             "buffers=2 frames=1024",
             "",
             "录音丢失了音频：2 个 IO 周期的输入无法读取"},
        Case{"UnreadAndUnwritten",
             {2},
             {3, 4},
             false,
             "buffers=1 frames=512",
             kWriteLine + kWriteLine,
             "录音丢失了音频：1 个 IO 周期的输入无法读取，2 个 IO 周期（0.02 秒音频）未能写入文件"},
        Case{"UnwrittenBeforeTheDeviceEnded",
             {},
             {1},
             true,
             "buffers=2 frames=1024",
             kWriteLine + "录音丢失了音频：1 个 IO 周期（0.01 秒音频）未能写入文件\n",
             kDeviceLost}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pt
