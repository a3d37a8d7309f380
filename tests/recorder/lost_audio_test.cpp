// Audio that never reached the file: cycles whose input could not be read and cycles the file
// refused are summed up after the summary, and the run fails.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>

#include "audio/simulated/simulated_platform.h"
#include "audio/text_error.h"
#include "recorder/process_tap_recorder.h"

namespace pt {
namespace {

// Answers nothing for the chosen calls (1 is the first), as the real platform does for an input
// list that does not fit the capture format.
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

TEST(LostAudio, IsCountedAfterTheSummaryAndFailsTheRun) {
  struct Case {
    std::set<int> unreadable;
    std::set<std::int64_t> failingWrites;
    bool deviceLost;
    std::string summary, err, error;  // counts in the summary, standard error, the error
  };
  const std::string write = "写入 Tap 音频失败：模拟的写入失败\n";
  // 0.05 s holds four cycles of 512 frames; 0.04 s three.
  for (const Case& c : std::vector<Case>{
           {{2},
            {3, 4},
            false,
            "buffers=1 frames=512",
            write + write,
            "录音丢失了音频：1 个 IO 周期的输入无法读取，2 个 IO 周期（0.02 秒音频）未能写入文件"},
           {{},
            {1},
            true,
            "buffers=2 frames=1024",
            write + "录音丢失了音频：1 个 IO 周期（0.01 秒音频）未能写入文件\n",
            kDeviceLost}}) {
    UnreadablePlatform sim;
    sim::PlatformScope scope(sim);
    sim.addProcessObject({11, 812, std::string("com.apple.Music"), 1u});
    sim.addOutputDevice(60, "Speakers");
    sim.unreadable = c.unreadable;
    sim.setWriteFailures(c.failingWrites);
    if (c.deviceLost) sim.loseDeviceAt(0.04);
    const std::string path = "/tmp/pt-lost-" + std::to_string(::getpid()) + ".caf";
    auto recorder = ProcessTapRecorder::make({{812, 11, "Music", "", true}}, path, 0.05);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    std::string error;
    try {
      recorder->run();
    } catch (const TextError& e) {
      error = e.what();
    }
    EXPECT_THAT(::testing::internal::GetCapturedStdout(), ::testing::HasSubstr(c.summary));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.err);
    EXPECT_EQ(error, c.error);
    ::unlink(path.c_str());
  }
}

}  // namespace
}  // namespace pt
