// A write that the disk cuts short fails without leaving part of a frame behind, so that what is
// written once space is back stays aligned and the file reads back whole.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <vector>

#include "audio/sndfile/sndfile_writer.h"

namespace pt {
namespace {

namespace fs = std::filesystem;

TEST(SndfileWriteFailure, AShortWriteIsCutBackToTheLastWholeBuffer) {
  const fs::path dir = fs::temp_directory_path() / ("pt-short-write-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const AudioStreamBasicDescription stereo{48000,
                                           kAudioFormatLinearPCM,
                                           kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
                                           8,
                                           1,
                                           8,
                                           2,
                                           32,
                                           0};
  const auto format = makeLinearPCMFormat(stereo);
  constexpr std::uint32_t kFrames = 100;
  std::vector<float> a(2 * kFrames), b(2 * kFrames, 9.0f), c(2 * kFrames);
  for (std::uint32_t i = 0; i < 2 * kFrames; ++i) a[i] = float(i), c[i] = -float(i);
  auto write = [&](AudioFile& file, std::vector<float>& samples) {
    AudioBufferList list{1, {{2, std::uint32_t(samples.size() * 4), samples.data()}}};
    std::string_view error;
    return file.writeFromBuffer(*wrapBufferListNoCopy(*format, &list), error);
  };

  // The file size limit stands in for a full disk: a write stops at it, part-way through.
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  for (const char* name : {"a.caf", "a.wav", "a.aif", "a.w64", "a.rf64"}) {
    SCOPED_TRACE(name);
    const fs::path path = dir / name;
    {
      auto file = openSndfileForWriting(path, {kAudioFormatLinearPCM, 48000, 2}, true);
      ASSERT_TRUE(write(*file, a));
      rlimit tight = limit;
      tight.rlim_cur = fs::file_size(path) + 12;  // a frame and a half
      ::setrlimit(RLIMIT_FSIZE, &tight);
      const bool written = write(*file, b);
      ::setrlimit(RLIMIT_FSIZE, &limit);
      EXPECT_FALSE(written);
      ASSERT_TRUE(write(*file, c));
    }
    SF_INFO info{};
    SNDFILE* back = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(back, nullptr) << sf_strerror(nullptr);
    std::vector<float> samples(std::size_t(info.frames) * 2);
    sf_readf_float(back, samples.data(), info.frames);
    sf_close(back);
    std::vector<float> expected = a;
    expected.insert(expected.end(), c.begin(), c.end());
    EXPECT_EQ(samples, expected);
  }
  std::signal(SIGXFSZ, previous);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace pt
