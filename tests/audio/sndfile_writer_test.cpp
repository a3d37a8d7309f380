#include "audio/sndfile/sndfile_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <filesystem>
#include <vector>

#include "audio/text_error.h"

namespace pt {
namespace {

namespace fs = std::filesystem;

AudioStreamBasicDescription floatFormat(std::uint32_t channels, bool interleaved) {
  AudioFormatFlags flags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
  if (!interleaved) flags |= kAudioFormatFlagIsNonInterleaved;
  std::uint32_t bytes = 4 * (interleaved ? channels : 1);
  return {48000, kAudioFormatLinearPCM, flags, bytes, 1, bytes, channels, 32, 0};
}

class SndfileWriterTest : public ::testing::Test {
 protected:
  fs::path dir = fs::temp_directory_path() /
                 ("pt-writer-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
  void SetUp() override { fs::create_directories(dir); }
  void TearDown() override { fs::remove_all(dir); }

  // Reads a whole file back: its format and interleaved samples.
  static std::pair<SF_INFO, std::vector<float>> readBack(const fs::path& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
    std::vector<float> samples(std::size_t(info.frames * info.channels));
    if (f) {
      sf_readf_float(f, samples.data(), info.frames);
      sf_close(f);
    }
    return {info, samples};
  }
};

TEST_F(SndfileWriterTest, ChoosesTheContainerByExtensionInAnyCase) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"a.caf", SF_FORMAT_CAF},   {"b.WAV", SF_FORMAT_WAVEX}, {"c.aif", SF_FORMAT_AIFF},
      {"d.Aiff", SF_FORMAT_AIFF}, {"e.w64", SF_FORMAT_W64},   {"f.RF64", SF_FORMAT_RF64}};
  std::vector<float> samples = {0.25f, -0.5f, 0.125f, 1.0f};
  AudioBufferList list{1, {{2, 16, samples.data()}}};
  auto format = makeLinearPCMFormat(floatFormat(2, true));
  for (const auto& [name, container] : cases) {
    const fs::path path = dir / name;
    {
      auto file = openSndfileForWriting(path, {kAudioFormatLinearPCM, 48000, 2}, true);
      auto buffer = wrapBufferListNoCopy(*format, &list);
      ASSERT_TRUE(buffer);
      std::string_view error;
      ASSERT_TRUE(file->writeFromBuffer(*buffer, error)) << error;
    }  // released: complete
    auto [info, back] = readBack(path);
    EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, container) << name;
    EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_FLOAT) << name;
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(back, samples) << name;  // unchanged, bit for bit
  }
}

TEST_F(SndfileWriterTest, InterleavesNonInterleavedInputLongerThanItsScratch) {
  const std::uint32_t frames = 10000;
  std::vector<float> left(frames), right(frames);
  for (std::uint32_t i = 0; i < frames; ++i) left[i] = float(i), right[i] = -float(i);
  alignas(AudioBufferList) unsigned char storage[audioBufferListSize(2)];
  auto* list = reinterpret_cast<AudioBufferList*>(storage);
  list->mNumberBuffers = 2;
  list->mBuffers[0] = {1, frames * 4, left.data()};
  list->mBuffers[1] = {1, frames * 4, right.data()};
  auto format = makeLinearPCMFormat(floatFormat(2, false));
  ASSERT_TRUE(format);
  const fs::path path = dir / "planar.wav";
  {
    auto file = openSndfileForWriting(path, {kAudioFormatLinearPCM, 48000, 2}, false);
    auto buffer = wrapBufferListNoCopy(*format, list);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->frameLength(), frames);
    std::string_view error;
    ASSERT_TRUE(file->writeFromBuffer(*buffer, error));
  }
  auto [info, back] = readBack(path);
  ASSERT_EQ(info.frames, frames);
  for (std::uint32_t i = 0; i < frames; i += 997) {
    EXPECT_EQ(back[2 * i], float(i));
    EXPECT_EQ(back[2 * i + 1], -float(i));
  }
}

TEST_F(SndfileWriterTest, RefusesWhatItCannotWriteNamingThePath) {
  const AudioFileSettings settings{kAudioFormatLinearPCM, 48000, 2};
  for (const fs::path& path :
       {dir / "a.mp3", dir / "noextension", dir / "dir.wav/x", dir / "missing" / "a.wav"}) {
    try {
      openSndfileForWriting(path, settings, true);
      ADD_FAILURE() << path << " opened";
    } catch (const TextError& e) {
      EXPECT_THAT(e.what(), ::testing::HasSubstr(path.string()));
    }
    EXPECT_FALSE(fs::exists(path)) << path;
  }
}

TEST(LinearPCMFormat, TakesOnlyConsistentFloatDescriptions) {
  EXPECT_TRUE(makeLinearPCMFormat(floatFormat(2, true)));
  EXPECT_TRUE(makeLinearPCMFormat(floatFormat(6, false)));
  auto broken = [](auto change) {
    AudioStreamBasicDescription d = floatFormat(2, true);
    change(d);
    return makeLinearPCMFormat(d) == nullptr;
  };
  EXPECT_TRUE(broken([](auto& d) { d = {}; }));
  EXPECT_TRUE(broken([](auto& d) { d.mFormatID = fourCC("aac "); }));
  EXPECT_TRUE(broken([](auto& d) { d.mFormatFlags = kAudioFormatFlagIsPacked; }));
  EXPECT_TRUE(broken([](auto& d) { d.mChannelsPerFrame = 0; }));
  EXPECT_TRUE(broken([](auto& d) { d.mBytesPerFrame = 4; }));
  EXPECT_TRUE(broken([](auto& d) { d.mSampleRate = 0; }));
  EXPECT_TRUE(broken([](auto& d) { d.mSampleRate = std::numeric_limits<double>::quiet_NaN(); }));
}

TEST(WrapBufferList, RefusesListsThatDoNotMatchTheFormat) {
  auto interleaved = makeLinearPCMFormat(floatFormat(2, true));
  float samples[8] = {};
  AudioBufferList good{1, {{2, 32, samples}}};
  auto buffer = wrapBufferListNoCopy(*interleaved, &good);
  ASSERT_TRUE(buffer);
  EXPECT_EQ(buffer->frameLength(), 4u);
  EXPECT_EQ(buffer->bufferList(), &good);  // no copy

  AudioBufferList partialFrame{1, {{2, 30, samples}}};
  AudioBufferList wrongChannels{1, {{1, 32, samples}}};
  AudioBufferList noData{1, {{2, 32, nullptr}}};
  AudioBufferList noBuffers{0, {{2, 32, samples}}};
  EXPECT_FALSE(wrapBufferListNoCopy(*interleaved, &partialFrame));
  EXPECT_FALSE(wrapBufferListNoCopy(*interleaved, &wrongChannels));
  EXPECT_FALSE(wrapBufferListNoCopy(*interleaved, &noData));
  EXPECT_FALSE(wrapBufferListNoCopy(*interleaved, &noBuffers));
  EXPECT_FALSE(wrapBufferListNoCopy(*interleaved, nullptr));
}

}  // namespace
}  // namespace pt
