#include "audio/sndfile/sndfile_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
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
      {"a.caf", SF_FORMAT_CAF | SF_ENDIAN_LITTLE},  // as macOS writes it
      {"b.WAV", SF_FORMAT_WAV},
      {"c.aif", SF_FORMAT_AIFF},
      {"d.Aiff", SF_FORMAT_AIFF},
      {"e.w64", SF_FORMAT_W64},
      {"f.RF64", SF_FORMAT_RF64}};
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

const std::vector<std::string> kContainers = {"a.caf",  "a.wav", "a.aif",  "a.w64", "a.rf64",
                                              "a.flac", "a.ogg", "a.opus", "a.mp3"};

// A tone of `frames` frames from frame `from` on, as the writer thread hands it over.
bool writeTone(AudioFile& file, std::uint32_t rate, std::int64_t from, std::uint32_t frames,
               std::string_view& error) {
  std::vector<float> samples(std::size_t(frames) * 2);
  for (std::uint32_t i = 0; i < frames; ++i)
    samples[2 * i] = samples[2 * i + 1] = 0.5f * std::sin(0.0576f * float(from + i));
  AudioBufferList list{1, {{2, frames * 8, samples.data()}}};
  const AudioStreamBasicDescription d = {double(rate),
                                         kAudioFormatLinearPCM,
                                         kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
                                         8,
                                         1,
                                         8,
                                         2,
                                         32,
                                         0};
  return file.writeFromBuffer(*wrapBufferListNoCopy(*makeLinearPCMFormat(d), &list), error);
}

// What libsndfile decodes: the frames it states, and the frames it reads before it stops.
std::pair<sf_count_t, sf_count_t> decoded(const fs::path& path) {
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (f == nullptr) return {-1, -1};
  std::vector<float> chunk(8192);
  sf_count_t read = 0;
  for (sf_count_t n; (n = sf_readf_float(f, chunk.data(), 4096)) > 0;) read += n;
  sf_close(f);
  return {info.frames, read};
}

// The file size limit stands in for a full disk: a write stops at it part-way through, later
// ones fail with EFBIG; raised again, it is space that came back.
class FullDisk {
 public:
  FullDisk() : previous_(std::signal(SIGXFSZ, SIG_IGN)) { ::getrlimit(RLIMIT_FSIZE, &limit_); }
  ~FullDisk() {
    space();
    std::signal(SIGXFSZ, previous_);
  }
  void fill(const fs::path& file) {
    rlimit tight = limit_;
    tight.rlim_cur = fs::file_size(file) + 12;  // a frame and a half
    ::setrlimit(RLIMIT_FSIZE, &tight);
  }
  void space() { ::setrlimit(RLIMIT_FSIZE, &limit_); }

 private:
  void (*previous_)(int);
  rlimit limit_{};
};

// Every container: what the disk refused while it was full reaches it once space is back, and the
// file decodes to its end, as long as it was written; no write failed, so the encoders never saw
// a failure (FLAC's never recovers from one). A disk still full at the end keeps what reached it,
// the file cut where its last frame or page there ends and saying so.
TEST_F(SndfileWriterTest, AFullDiskLosesNothingThatSpaceComingBackSaves) {
  for (const std::string& name : kContainers) {
    for (const bool spaceReturns : {true, false}) {
      SCOPED_TRACE(name + (spaceReturns ? "" : ", full to the end"));
      std::string_view error;
      {
        auto file = open(dir / name);
        FullDisk disk;
        ASSERT_TRUE(writeTone(*file, 48000, 0, 48000, error));
        disk.fill(dir / name);
        for (int i = 2; i < 5; ++i) EXPECT_TRUE(writeTone(*file, 48000, i * 24000, 24000, error));
        if (spaceReturns) disk.space();
        EXPECT_TRUE(writeTone(*file, 48000, 120000, 24000, error));
        file.reset();  // while the disk is still as it is
      }
      const auto [frames, read] = decoded(dir / name);
      EXPECT_EQ(read, spaceReturns ? 144000 : std::clamp<sf_count_t>(read, 12000, 48001));
      // Unless it is an MP3, whose closing tag states the length it was meant to have.
      if (spaceReturns || name != "a.mp3") {
        EXPECT_EQ(frames, read);
      }
    }
  }
}

// Beyond 30 s of audio held, whole buffers are refused with the system's reason, before any of
// them reaches the encoder; once space is back the file takes audio again and decodes whole.
TEST_F(SndfileWriterTest, AFullDiskPastItsBoundRefusesWholeBuffersWithTheSystemsReason) {
  for (const char* name : {"a.wav", "a.flac"}) {
    SCOPED_TRACE(name);
    std::int64_t taken = 0;
    {
      auto file = openSndfileForWriting(dir / name, audioFileSettingsFor(name, 8000, 2), true);
      std::string_view error;
      FullDisk disk;
      ASSERT_TRUE(writeTone(*file, 8000, 0, 8000, error));
      disk.fill(dir / name);
      int refused = 0;
      for (std::int64_t second = 1; second < 200 && refused < 2; ++second) {
        if (writeTone(*file, 8000, second * 8000, 8000, error)) {
          EXPECT_EQ(refused, 0) << "taken after a refusal";
          taken = second;
        } else {
          ++refused;
          EXPECT_EQ(error, std::strerror(EFBIG));
        }
      }
      EXPECT_EQ(refused, 2);
      EXPECT_GE(taken, 30);
      disk.space();
      EXPECT_TRUE(writeTone(*file, 8000, ++taken * 8000, 8000, error));
    }
    const auto [frames, read] = decoded(dir / name);
    EXPECT_EQ(frames, (taken + 1) * 8000);
    EXPECT_EQ(read, frames);
  }
}

// A file whose writer is killed is the file on disk while it is open: every container reads back
// in libsndfile, as far as it states, up to close to what was written (the encoders hold back
// what their next frame or page needs).
TEST_F(SndfileWriterTest, WhileItsWriterRunsEveryFileReadsBackNearlyToItsEnd) {
  const std::map<std::string, double> lagSeconds = {
      {"a.flac", 0.09}, {"a.ogg", 0.2}, {"a.opus", 0.6}, {"a.mp3", 0.1}};
  for (const std::string& name : kContainers) {
    SCOPED_TRACE(name);
    auto file = open(dir / name);
    std::string_view error;
    for (std::int64_t at = 0; at < 96000; at += 480)
      ASSERT_TRUE(writeTone(*file, 48000, at, 480, error));
    const auto [frames, read] = decoded(dir / name);
    const double lag = lagSeconds.count(name) ? lagSeconds.at(name) : 0;
    EXPECT_GE(read, 96000 - lag * 48000);
    EXPECT_LE(read, 96000);
    // Without its closing tag an MP3's length is estimated from its size.
    EXPECT_NEAR(frames, read, name == "a.mp3" ? 1152 : 0);
  }
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
