#include "audio/sndfile/sndfile_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <limits>
#include <tuple>
#include <vector>

#include "audio/file_settings.h"
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

std::shared_ptr<AudioFile> open(const fs::path& path, bool interleaved = true) {
  return openSndfileForWriting(path, audioFileSettingsFor(path, 48000, 2), interleaved);
}

// Writes one buffer list to a file that is then released, and reads the file back.
std::pair<SF_INFO, std::vector<float>> roundTrip(const fs::path& path, const AudioBufferList* list,
                                                 bool interleaved) {
  {
    auto format = makeLinearPCMFormat(floatFormat(2, interleaved));
    auto file = open(path, interleaved);
    auto buffer = wrapBufferListNoCopy(*format, list);
    std::string_view error;
    EXPECT_TRUE(buffer && file->writeFromBuffer(*buffer, error)) << error;
  }
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
  std::vector<float> samples(std::size_t(info.frames * info.channels));
  if (f) sf_readf_float(f, samples.data(), info.frames);
  if (f) sf_close(f);
  return {info, samples};
}

class SndfileWriterTest : public ::testing::Test {
 protected:
  fs::path dir =
      fs::temp_directory_path() / ("pt-writer-" + std::to_string(::getpid()) +
                                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
  void SetUp() override { fs::create_directories(dir); }
  void TearDown() override { fs::remove_all(dir); }
};

TEST_F(SndfileWriterTest, ChoosesTheContainerByExtensionInAnyCaseAndKeepsEveryBit) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"a.caf", SF_FORMAT_CAF},   {"b.WAV", SF_FORMAT_WAVEX}, {"c.aif", SF_FORMAT_AIFF},
      {"d.Aiff", SF_FORMAT_AIFF}, {"e.w64", SF_FORMAT_W64},   {"f.RF64", SF_FORMAT_RF64}};
  std::vector<float> samples = {0.25f, -0.5f, 0.125f, 1.0f};
  AudioBufferList list{1, {{2, 16, samples.data()}}};
  for (const auto& [name, container] : cases) {
    auto [info, back] = roundTrip(dir / name, &list, true);
    EXPECT_EQ(info.format, container | SF_FORMAT_FLOAT) << name;
    EXPECT_EQ(back, samples) << name;
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
  auto [info, back] = roundTrip(dir / "planar.wav", list, false);
  ASSERT_EQ(info.frames, frames);
  for (std::uint32_t i = 0; i < frames; i += 997) {
    EXPECT_EQ(back[2 * i], float(i));
    EXPECT_EQ(back[2 * i + 1], -float(i));
  }
}

// FLAC's only loss: samples rounded to 24 bits, and clipped where they pass full scale.
TEST_F(SndfileWriterTest, FLACRoundsTo24BitsAndClips) {
  std::vector<float> samples = {1.5f, -1.5f, 0.1234567f, -0.7654321f};
  AudioBufferList list{1, {{2, 16, samples.data()}}};
  const std::vector<float> expected = {8388607 / 8388608.0f, -1.0f, 0.1234567f, -0.7654321f};
  auto [info, back] = roundTrip(dir / "a.flac", &list, true);
  for (std::size_t i = 0; i < expected.size(); ++i)
    EXPECT_NEAR(back[i], expected[i], 0.51 / 8388608) << i;
}

// The RIFF size is the file's size less 8, also without audio.
TEST_F(SndfileWriterTest, AnEmptyWaveStatesItsSize) {
  open(dir / "empty.wav");
  std::uint32_t riff[2] = {};  // little-endian, as the hosts we build on
  std::ifstream(dir / "empty.wav", std::ios::binary).read(reinterpret_cast<char*>(riff), 8);
  EXPECT_EQ(riff[1], fs::file_size(dir / "empty.wav") - 8);
}

// A container libsndfile lacks, a rate Opus does not take, a path that cannot be made.
TEST_F(SndfileWriterTest, RefusesWhatItCannotWriteNamingThePath) {
  for (const auto& [path, rate] : std::vector<std::pair<fs::path, double>>{
           {dir / "a.m4a", 48000}, {dir / "a.opus", 44100}, {dir / "missing" / "a.wav", 48000}}) {
    try {
      openSndfileForWriting(path, audioFileSettingsFor(path, rate, 2), true);
      ADD_FAILURE() << path << " opened";
    } catch (const TextError& e) {
      EXPECT_THAT(e.what(), ::testing::HasSubstr(path.string()));
      EXPECT_EQ(rate != 48000, std::string(e.what()).find(" 44100 Hz ") != std::string::npos);
    }
    EXPECT_FALSE(fs::exists(path)) << path;
  }
}

// A write that the disk cuts short fails without leaving part of a frame behind, so that what is
// written once space is back stays aligned and the file reads back whole.
TEST_F(SndfileWriterTest, AShortWriteIsCutBackToTheLastWholeBuffer) {
  const auto format = makeLinearPCMFormat(floatFormat(2, true));
  std::vector<float> a(200), b(200, 9.0f), c(200);
  for (std::uint32_t i = 0; i < 200; ++i) a[i] = float(i), c[i] = -float(i);
  auto write = [&](AudioFile& file, std::vector<float>& samples) {
    AudioBufferList list{1, {{2, std::uint32_t(samples.size() * 4), samples.data()}}};
    std::string_view error;
    return file.writeFromBuffer(*wrapBufferListNoCopy(*format, &list), error);
  };
  std::vector<float> expected = a;
  expected.insert(expected.end(), c.begin(), c.end());
  // The file size limit stands in for a full disk: a write stops at it, part-way through.
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  for (const char* name : {"a.caf", "a.wav", "a.aif", "a.w64", "a.rf64"}) {
    SCOPED_TRACE(name);
    {
      auto file = open(dir / name);
      ASSERT_TRUE(write(*file, a));
      rlimit tight = limit;
      tight.rlim_cur = fs::file_size(dir / name) + 12;  // a frame and a half
      ::setrlimit(RLIMIT_FSIZE, &tight);
      const bool written = write(*file, b);
      ::setrlimit(RLIMIT_FSIZE, &limit);
      EXPECT_FALSE(written);
      ASSERT_TRUE(write(*file, c));
    }
    SF_INFO info{};
    SNDFILE* back = sf_open((dir / name).c_str(), SFM_READ, &info);
    ASSERT_NE(back, nullptr) << sf_strerror(nullptr);
    std::vector<float> samples(std::size_t(info.frames) * 2);
    sf_readf_float(back, samples.data(), info.frames);
    sf_close(back);
    EXPECT_EQ(samples, expected);
  }
  std::signal(SIGXFSZ, previous);
}

// What AVFoundation is handed: nothing on Linux opens these settings through it.
TEST(FileSettings, TheExtensionChoosesWhatAVFoundationIsHanded) {
  auto keys = [](const char* path) {
    const AudioFileSettings s = audioFileSettingsFor(path, 44100, 2);
    EXPECT_EQ(std::tuple(s.sampleRate, s.channels), std::tuple(44100.0, 2u)) << path;
    return std::tuple(s.fileType, s.formatID, s.bitDepth, s.isFloat, s.isBigEndian, s.bitRate);
  };
  EXPECT_EQ(keys("/x/a.Aiff"),
            std::tuple(kAudioFileAIFCType, kAudioFormatLinearPCM, 32u, true, true, 0u));
  EXPECT_EQ(keys("a.flac"),
            std::tuple(kAudioFileFLACType, kAudioFormatFLAC, 24u, false, false, 0u));
  EXPECT_EQ(keys("a.m4a"),
            std::tuple(kAudioFileM4AType, kAudioFormatMPEG4AAC, 0u, false, false, 192000u));
  for (const char* path : {"--help", "a.txt", "dir.wav/x"})
    EXPECT_THROW(audioFileSettingsFor(path, 48000, 2), TextError) << path;
}

TEST(LinearPCM, TakesOnlyConsistentFloatDescriptionsAndListsThatFitThem) {
  EXPECT_TRUE(makeLinearPCMFormat(floatFormat(6, false)));
  for (auto change : std::vector<void (*)(AudioStreamBasicDescription&)>{
           [](auto& d) { d = {}; }, [](auto& d) { d.mFormatID = fourCC("aac "); },
           [](auto& d) { d.mFormatFlags = kAudioFormatFlagIsPacked; },
           [](auto& d) { d.mBytesPerFrame = 4; }, [](auto& d) { d.mSampleRate = 0; },
           [](auto& d) { d.mSampleRate = std::numeric_limits<double>::quiet_NaN(); }}) {
    AudioStreamBasicDescription d = floatFormat(2, true);
    change(d);
    EXPECT_FALSE(makeLinearPCMFormat(d));
  }
  auto interleaved = makeLinearPCMFormat(floatFormat(2, true));
  float samples[8] = {};
  AudioBufferList good{1, {{2, 32, samples}}};
  auto buffer = wrapBufferListNoCopy(*interleaved, &good);
  ASSERT_TRUE(buffer);
  EXPECT_EQ(buffer->frameLength(), 4u);
  EXPECT_EQ(buffer->bufferList(), &good);  // no copy
  for (AudioBufferList bad :
       {AudioBufferList{1, {{2, 30, samples}}},  // a partial frame
        AudioBufferList{1, {{1, 32, samples}}}, AudioBufferList{1, {{2, 32, nullptr}}},
        AudioBufferList{0, {{2, 32, samples}}}})
    EXPECT_FALSE(wrapBufferListNoCopy(*interleaved, &bad));
  EXPECT_FALSE(wrapBufferListNoCopy(*interleaved, nullptr));
}

}  // namespace
}  // namespace pt
