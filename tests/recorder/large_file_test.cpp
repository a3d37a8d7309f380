// Recordings past 4 GiB, in virtual time: a .wav becomes RF64 and keeps every frame; an AIFF,
// which cannot grow past 4 GiB, ends the recording with a complete file and an error.
//
// To keep the disk nearly empty the test punches holes into what the file already holds (they
// read back as zeros): the header, the first mebibyte and the last seconds stay real.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/falloc.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>

#include "audio/simulated/simulated_platform.h"
#include "audio/text_error.h"
#include "recorder/process_tap_recorder.h"

namespace pt {
namespace {

namespace fs = std::filesystem;

constexpr off_t kKeepHead = 1 << 20;
constexpr off_t kKeepTail = 64 << 20;

// The real file, with its middle given back to the disk as it grows.
class PunchedFile final : public AudioFile {
 public:
  PunchedFile(std::shared_ptr<AudioFile> file, const std::string& path)
      : file_(std::move(file)), fd_(::open(path.c_str(), O_WRONLY)) {}
  ~PunchedFile() override { ::close(fd_); }
  bool writeFromBuffer(const PCMBuffer& buffer, std::string_view& error) noexcept override {
    const bool written = file_->writeFromBuffer(buffer, error);
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && st.st_size - kKeepTail > punched_ + kKeepTail) {
      ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, punched_,
                  st.st_size - kKeepTail - punched_);
      punched_ = st.st_size - kKeepTail;
    }
    return written;
  }
  bool isFull() const noexcept override { return file_->isFull(); }

 private:
  std::shared_ptr<AudioFile> file_;
  int fd_;
  off_t punched_ = kKeepHead;
};

class PunchingPlatform : public sim::SimulatedPlatform {
 public:
  std::shared_ptr<AudioFile> openAudioFileForWriting(const std::string& path,
                                                     const AudioFileSettings& settings,
                                                     AVAudioCommonFormat common,
                                                     bool interleaved) override {
    return std::make_shared<PunchedFile>(
        SimulatedPlatform::openAudioFileForWriting(path, settings, common, interleaved), path);
  }
};

// Why this machine cannot run the test, or empty.
std::string unsuitable(const fs::path& dir) {
  struct statvfs vfs {};
  if (::statvfs(dir.c_str(), &vfs) != 0 || double(vfs.f_bavail) * vfs.f_frsize < 1e9)
    return "less than 1 GB free in " + dir.string();
  const fs::path probe = dir / "punch-probe";
  const int fd = ::open(probe.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  const bool punches = fd >= 0 && ::ftruncate(fd, 1 << 20) == 0 &&
                       ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 4096) == 0;
  if (fd >= 0) ::close(fd);
  fs::remove(probe);
  return punches ? "" : "the file system of " + dir.string() + " cannot punch holes";
}

struct Case {
  const char* extension;
  int container;
  bool fitsAll;  // else the recording ends short of 4 GiB with kFileFull
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.extension; }

class LargeFileTest : public ::testing::TestWithParam<Case> {};

TEST_P(LargeFileTest, KeepsEveryFrameItReports) {
  const fs::path dir = fs::temp_directory_path() / ("pt-large-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  if (const std::string why = unsuitable(dir); !why.empty()) {
    fs::remove_all(dir);
    GTEST_SKIP() << why;
  }
  const fs::path path = dir / (std::string("long") + GetParam().extension);

  // 16 channels of float at 48 kHz: 3,072,000 bytes a second, 4 GiB in 1398 s.
  constexpr std::uint32_t kChannels = 16;
  PunchingPlatform sim;
  sim::PlatformScope scope(sim);
  sim.addProcessObject({11, 812, std::string("com.apple.Music"), 1u});
  sim.addOutputDevice(60, "Speakers");
  sim.setTone(11, 440);
  sim.setTapFormat({48000, kAudioFormatLinearPCM,
                    kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 4 * kChannels, 1,
                    4 * kChannels, kChannels, 32, 0});
  sim.setIOFrames(48000);
  auto recorder =
      ProcessTapRecorder::make({{812, 11, "Music", "com.apple.Music", true}}, path.string(), 1400);
  ::testing::internal::CaptureStdout();
  std::string error;
  try {
    recorder->run();
  } catch (const TextError& e) {
    error = e.what();
  }
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(error, GetParam().fitsAll ? "" : kFileFull);
  const std::int64_t frames = recorder->frameCount();
  EXPECT_EQ(frames, GetParam().fitsAll ? 1400 * 48000 : 1398 * 48000);
  EXPECT_EQ(recorder->failedWrites(), 0);

  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, GetParam().container);
  EXPECT_EQ(info.frames, frames);
  // An early and the last frame sit where they belong: nothing shifted or wrapped.
  float first[kChannels] = {}, last[kChannels] = {};
  sf_seek(file, 1000, SEEK_SET);
  sf_readf_float(file, first, 1);
  sf_seek(file, frames - 1, SEEK_SET);
  EXPECT_EQ(sf_readf_float(file, last, 1), 1);
  sf_close(file);
  fs::remove_all(dir);
  EXPECT_EQ(first[kChannels - 1], sim::SimulatedPlatform::toneSample({440}, 48000, 1000));
  EXPECT_EQ(last[0], sim::SimulatedPlatform::toneSample({440}, 48000, frames - 1));
  EXPECT_EQ(last[kChannels - 1], last[0]);
}

INSTANTIATE_TEST_SUITE_P(Containers, LargeFileTest,
                         ::testing::Values(Case{".wav", SF_FORMAT_RF64, true},
                                           Case{".aif", SF_FORMAT_AIFF, false}),
                         [](const auto& info) { return std::string(info.param.extension + 1); });

}  // namespace
}  // namespace pt
