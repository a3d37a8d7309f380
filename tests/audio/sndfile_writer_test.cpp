#include "audio/sndfile/sndfile_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numbers>
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

// The codecs: the tone comes back at its frequency, FLAC's samples rounded to 24 bits and
// clipped at full scale.
TEST_F(SndfileWriterTest, EncodesFLACVorbisOpusAndMP3WithTheToneIntact) {
  const double hz = 440;
  std::vector<float> tone(48000 * 2);
  for (std::size_t i = 0; i < tone.size(); ++i)
    tone[i] = float(0.5 * std::sin(2 * std::numbers::pi * hz * double(i / 2) / 48000));
  const std::vector<float> edges = {1.5f, -1.5f, 0.1234567f, -0.7654321f};
  std::copy(edges.begin(), edges.end(), tone.begin());
  AudioBufferList list{1, {{2, std::uint32_t(tone.size() * 4), tone.data()}}};
  for (const char* name : {"a.flac", "a.ogg", "a.opus", "a.mp3"}) {
    SCOPED_TRACE(name);
    auto [info, back] = roundTrip(dir / name, &list, true);
    // Encoders may add a little silence before or after; none loses a tenth of a second.
    EXPECT_NEAR(double(info.frames), 48000, 4800);
    auto amplitude = [&, &back = back](double f) {
      double re = 0, im = 0;
      for (std::size_t i = 9600; i < 38400; ++i) {
        re += back[2 * i] * std::cos(2 * std::numbers::pi * f * double(i) / 48000);
        im += back[2 * i] * std::sin(2 * std::numbers::pi * f * double(i) / 48000);
      }
      return 2 * std::hypot(re, im) / 28800;
    };
    EXPECT_NEAR(amplitude(hz), 0.5, 0.05);
    EXPECT_LT(amplitude(2 * hz), 0.01);
  }
  auto [info, back] = roundTrip(dir / "b.flac", &list, true);
  const std::vector<float> clipped = {8388607 / 8388608.0f, -1.0f, 0.1234567f, -0.7654321f};
  for (std::size_t i = 0; i < clipped.size(); ++i)
    EXPECT_NEAR(back[i], clipped[i], 0.51 / 8388608) << i;
}

TEST_F(SndfileWriterTest, OpusRefusesRatesItDoesNotTakeBeforeTheFileExists) {
  const fs::path path = dir / "a.opus";
  try {
    openSndfileForWriting(path, audioFileSettingsFor(path, 44100, 2), true);
    ADD_FAILURE() << "opened";
  } catch (const TextError& e) {
    EXPECT_THAT(e.what(), ::testing::AllOf(::testing::HasSubstr(path.string()),
                                           ::testing::HasSubstr("44100 Hz")));
  }
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(openSndfileForWriting(path, audioFileSettingsFor(path, 24000, 2), true));
}

// WAVE's RIFF size is the file's size less 8, also with no audio at all.
TEST_F(SndfileWriterTest, AnEmptyWaveStatesItsSizes) {
  open(dir / "empty.wav");
  std::ifstream in(dir / "empty.wav", std::ios::binary);
  unsigned char riff[8] = {};
  in.read(reinterpret_cast<char*>(riff), 8);
  const std::uint32_t size = riff[4] | riff[5] << 8 | riff[6] << 16 | std::uint32_t(riff[7]) << 24;
  EXPECT_EQ(size, fs::file_size(dir / "empty.wav") - 8);
  SF_INFO info{};
  SNDFILE* back = sf_open((dir / "empty.wav").c_str(), SFM_READ, &info);
  ASSERT_NE(back, nullptr) << sf_strerror(nullptr);
  EXPECT_EQ(info.frames, 0);
  sf_close(back);
}

TEST_F(SndfileWriterTest, RefusesWhatItCannotWriteNamingThePath) {
  for (const fs::path& path : {dir / "a.m4a", dir / "dir.wav/x", dir / "missing" / "a.wav"}) {
    try {
      open(path);
      ADD_FAILURE() << path << " opened";
    } catch (const TextError& e) {
      EXPECT_THAT(e.what(), ::testing::HasSubstr(path.string()));
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
