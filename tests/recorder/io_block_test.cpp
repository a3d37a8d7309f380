// The IO block on its own, for what a whole recording cannot show: the first sound among
// quiet samples, and a block that outlives its input, its file or its recorder.
#include <gtest/gtest.h>

#include <vector>

#include "audio/simulated/simulated_platform.h"
#include "audio/sndfile/sndfile_writer.h"
#include "recorder/process_tap_recorder.h"

namespace pt {
namespace {

class CountingFile : public AudioFile {
 public:
  bool writeFromBuffer(const PCMBuffer&, std::string_view&) noexcept override { return ++calls; }
  int calls = 0;
};

// The simulated platform with the real buffer wrapping.
class WrappingPlatform : public sim::SimulatedPlatform {
 public:
  std::optional<PCMBuffer> makePCMBufferNoCopy(const AudioFormat& format,
                                               const AudioBufferList* list) noexcept override {
    return wrapBufferListNoCopy(format, list);
  }
};

class IOBlockTest : public ::testing::Test {
 protected:
  IOBlockTest() : scope_(platform_) {
    recorder_ = ProcessTapRecorder::make({}, "/tmp/unused.caf", 0);
    block_ = ProcessTapRecorder::makeIOBlock(
        recorder_, makeLinearPCMFormat({48000, kAudioFormatLinearPCM,
                                        kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 8, 1, 8,
                                        2, 32, 0}));
    recorder_->setAudioFileForTesting(file_);
  }
  void call(std::vector<float> samples) {
    AudioBufferList input{1, {{2, std::uint32_t(samples.size() * sizeof(float)), samples.data()}}};
    block_(nullptr, &input, nullptr, &output_, nullptr);
  }

  WrappingPlatform platform_;
  sim::PlatformScope scope_;
  std::shared_ptr<ProcessTapRecorder> recorder_;
  AudioDeviceIOBlock block_;
  std::shared_ptr<CountingFile> file_ = std::make_shared<CountingFile>();
  AudioBufferList output_{1, {{2, 16, reinterpret_cast<void*>(0x1234)}}};
};

TEST_F(IOBlockTest, AnySampleThatIsNotZeroIsSoundAndTheOutputIsLeftAlone) {
  std::vector<float> silence(512 * 2, 0.0f);
  silence[3] = -0.0f;
  call(silence);
  EXPECT_FALSE(recorder_->heardSound());
  std::vector<float> sound = silence;
  sound.back() = -1e-30f;  // quiet, but not digital silence
  call(sound);
  EXPECT_TRUE(recorder_->heardSound());
  call(silence);
  EXPECT_TRUE(recorder_->heardSound());
  EXPECT_EQ(file_->calls, 3);
  EXPECT_EQ(output_.mBuffers[0].mDataByteSize, 16u);
  EXPECT_EQ(output_.mBuffers[0].mData, reinterpret_cast<void*>(0x1234));
}

TEST_F(IOBlockTest, DoesNothingWithoutAWrappableInputAFileOrARecorder) {
  AudioBufferList twoBuffers{2, {{2, 16, output_.mBuffers[0].mData}}};  // does not fit the format
  block_(nullptr, &twoBuffers, nullptr, nullptr, nullptr);
  block_(nullptr, nullptr, nullptr, nullptr, nullptr);
  recorder_->setAudioFileForTesting(nullptr);
  call(std::vector<float>(8, 1.0f));
  recorder_->setAudioFileForTesting(file_);
  recorder_.reset();
  call(std::vector<float>(8, 1.0f));
  EXPECT_EQ(file_->calls, 0);
}

}  // namespace
}  // namespace pt
