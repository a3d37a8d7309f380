#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "audio/simulated/simulated_platform.h"
#include "audio/sndfile/sndfile_writer.h"
#include "recorder/process_tap_recorder.h"

namespace pt {
namespace {

// A file that records what it is asked to write and fails where told.
class ScriptedFile : public AudioFile {
 public:
  bool writeFromBuffer(const PCMBuffer& buffer, std::string_view& error) noexcept override {
    ++calls;
    if (failNext) {
      error = "disk full";
      return false;
    }
    frames.push_back(buffer.frameLength());
    return true;
  }
  int calls = 0;
  bool failNext = false;
  std::vector<std::uint32_t> frames;
};

// The simulated platform with the real buffer wrapping, whatever else it simulates.
class WrappingPlatform : public sim::SimulatedPlatform {
 public:
  std::optional<PCMBuffer> makePCMBufferNoCopy(const AudioFormat& format,
                                               const AudioBufferList* list) noexcept override {
    return wrapBufferListNoCopy(format, list);
  }
};

AudioStreamBasicDescription stereoFloat(double rate = 48000) {
  return {rate,
          kAudioFormatLinearPCM,
          kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
          8,
          1,
          8,
          2,
          32,
          0};
}

class IOBlockTest : public ::testing::Test {
 protected:
  IOBlockTest() : scope_(platform_) {
    recorder_ = ProcessTapRecorder::make({}, "/tmp/unused.caf", 0);
    format_ = makeLinearPCMFormat(stereoFloat());
    block_ = ProcessTapRecorder::makeIOBlock(recorder_, format_);
    file_ = std::make_shared<ScriptedFile>();
    recorder_->setAudioFileForTesting(file_);
    samples_.assign(512 * 2, 0.5f);
    input_.mNumberBuffers = 1;
    input_.mBuffers[0] = {2, std::uint32_t(samples_.size() * sizeof(float)), samples_.data()};
  }
  void call() { block_(nullptr, &input_, nullptr, &output_, nullptr); }

  WrappingPlatform platform_;
  sim::PlatformScope scope_;
  std::shared_ptr<ProcessTapRecorder> recorder_;
  std::shared_ptr<const AudioFormat> format_;
  AudioDeviceIOBlock block_;
  std::shared_ptr<ScriptedFile> file_;
  std::vector<float> samples_;
  AudioBufferList input_{};
  AudioBufferList output_{1, {{2, 16, reinterpret_cast<void*>(0x1234)}}};
};

TEST_F(IOBlockTest, CountsEveryWrittenBufferAndItsFramesAndLeavesTheOutputAlone) {
  call();
  call();
  EXPECT_EQ(recorder_->bufferCount(), 2);
  EXPECT_EQ(recorder_->frameCount(), 1024);
  EXPECT_EQ(file_->frames, (std::vector<std::uint32_t>{512, 512}));
  EXPECT_EQ(output_.mNumberBuffers, 1u);
  EXPECT_EQ(output_.mBuffers[0].mDataByteSize, 16u);
  EXPECT_EQ(output_.mBuffers[0].mData, reinterpret_cast<void*>(0x1234));
}

TEST_F(IOBlockTest, AFailedWritePrintsOneLinePerBufferAndCountsNothing) {
  file_->failNext = true;
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 10; ++i) call();
  const std::string err = ::testing::internal::GetCapturedStderr();
  std::string expected;
  for (int i = 0; i < 10; ++i) expected += "写入 Tap 音频失败：disk full\n";
  EXPECT_EQ(err, expected);
  EXPECT_EQ(recorder_->bufferCount(), 0);
  EXPECT_EQ(recorder_->frameCount(), 0);

  file_->failNext = false;
  call();
  EXPECT_EQ(recorder_->bufferCount(), 1);
  EXPECT_EQ(recorder_->frameCount(), 512);
}

TEST_F(IOBlockTest, NoticesTheFirstSoundAfterSilence) {
  std::fill(samples_.begin(), samples_.end(), 0.0f);
  samples_[3] = -0.0f;
  call();
  EXPECT_FALSE(recorder_->heardSound());
  samples_.back() = 1e-30f;  // quiet, but not digital silence
  call();
  EXPECT_TRUE(recorder_->heardSound());
  std::fill(samples_.begin(), samples_.end(), 0.0f);
  call();
  EXPECT_TRUE(recorder_->heardSound());
}

TEST_F(IOBlockTest, DoesNothingWithoutAFileARecorderOrAWrappableInput) {
  ::testing::internal::CaptureStderr();
  AudioBufferList twoBuffers = input_;
  twoBuffers.mNumberBuffers = 2;  // a non-interleaved list does not fit an interleaved format
  block_(nullptr, &twoBuffers, nullptr, nullptr, nullptr);
  block_(nullptr, nullptr, nullptr, nullptr, nullptr);

  recorder_->setAudioFileForTesting(nullptr);
  call();

  recorder_->setAudioFileForTesting(file_);
  recorder_.reset();
  call();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(file_->calls, 0);
}

}  // namespace
}  // namespace pt
