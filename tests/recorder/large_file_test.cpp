// Recordings past 4 GiB in virtual time: a .wav becomes RF64 and keeps every frame; an AIFF, which
// cannot pass 4 GiB, ends the recording with a complete file and an error. So that the disk stays
// nearly empty, the middle of the file is punched out as it grows (holes read back as zeros).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/falloc.h>
#include <sndfile.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>

#include "audio/simulated/simulated_platform.h"
#include "audio/text_error.h"
#include "recorder/process_tap_recorder.h"

namespace pt {
namespace {

constexpr off_t kKeep = 64 << 20;  // at each end

class PunchedFile final : public AudioFile {
 public:
  PunchedFile(std::shared_ptr<AudioFile> file, const std::string& path)
      : file_(std::move(file)), fd_(::open(path.c_str(), O_WRONLY)) {}
  ~PunchedFile() override { ::close(fd_); }
  bool writeFromBuffer(const PCMBuffer& buffer, std::string_view& error) noexcept override {
    const bool written = file_->writeFromBuffer(buffer, error);
    const off_t end = ::lseek(fd_, 0, SEEK_END) - kKeep;
    if (end > punched_ + kKeep) {
      ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, punched_, end - punched_);
      punched_ = end;
    }
    return written;
  }
  bool isFull() const noexcept override { return file_->isFull(); }

 private:
  std::shared_ptr<AudioFile> file_;
  int fd_;
  off_t punched_ = kKeep;
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

TEST(LargeFile, KeepsEveryFrameItReports) {
  const std::string dir = ::testing::TempDir();
  struct statvfs vfs {};
  if (::statvfs(dir.c_str(), &vfs) != 0 || double(vfs.f_bavail) * vfs.f_frsize < 1e9)
    GTEST_SKIP() << "less than 1 GB free in " << dir;
  const int probe = ::open(dir.c_str(), O_TMPFILE | O_RDWR, 0600);
  const bool punches = probe >= 0 && ::ftruncate(probe, 8192) == 0 &&
                       ::fallocate(probe, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 4096) == 0;
  ::close(probe);
  if (!punches) GTEST_SKIP() << "the file system of " << dir << " cannot punch holes";
  // 16 channels of float at 48 kHz: 3,072,000 bytes a second, 4 GiB in 1398 s.
  constexpr std::uint32_t kChannels = 16;
  for (const auto& [name, container, frames, error] :
       {std::tuple{"long.wav", SF_FORMAT_RF64, 1400 * 48000, ""},
        std::tuple{"long.aif", SF_FORMAT_AIFF, 1398 * 48000, kFileFull}}) {
    SCOPED_TRACE(name);
    const std::string path = dir + name;
    PunchingPlatform sim;
    sim::PlatformScope scope(sim);
    sim.addProcessObject({11, 812, std::string("com.apple.Music"), 1u});
    sim.addOutputDevice(60, "Speakers");
    sim.setTone(11, 440);
    sim.setTapFormat({48000, kAudioFormatLinearPCM,
                      kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 4 * kChannels, 1,
                      4 * kChannels, kChannels, 32, 0});
    sim.setIOFrames(48000);
    auto recorder = ProcessTapRecorder::make({{{{812, 11, "Music", "", true}}, {}, path}}, 1400);
    ::testing::internal::CaptureStdout();
    std::string thrown;
    try {
      recorder->run();
    } catch (const TextError& e) {
      thrown = e.what();
    }
    const std::string summary = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(thrown, error);
    EXPECT_NE(summary.find(" frames=" + std::to_string(frames) + " "), std::string::npos);

    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, container);
    EXPECT_EQ(info.frames, frames);
    // An early and the last frame sit where they belong: nothing shifted or wrapped.
    for (const sf_count_t frame : {sf_count_t(1000), sf_count_t(frames - 1)}) {
      float samples[kChannels] = {};
      sf_seek(file, frame, SEEK_SET);
      sf_readf_float(file, samples, 1);
      EXPECT_EQ(samples[kChannels - 1], sim::SimulatedPlatform::toneSample({440}, 48000, frame));
    }
    sf_close(file);
    ::unlink(path.c_str());
  }
}

}  // namespace
}  // namespace pt
