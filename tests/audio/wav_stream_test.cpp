#include "audio/wav_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

namespace pt {
namespace {

std::vector<unsigned char> drain(int fd) {
  std::vector<unsigned char> bytes;
  unsigned char chunk[4096];
  for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;)
    bytes.insert(bytes.end(), chunk, chunk + n);
  return bytes;
}

// What a streaming reader needs: the float format, the sizes marked unknown, then the frames
// interleaved whatever the buffer's layout; a reader that went away ends the stream for good.
TEST(WavStream, AHeaderOfUnknownSizesThenInterleavedFramesUntilTheReaderGoes) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  {
    WavStream stream(ends[1], 44100, 2);
    std::vector<float> left = {1, 2, 3}, right = {-1, -2, -3}, both = {4, -4};
    struct {
      std::uint32_t count;
      AudioBuffer buffers[2];
    } planar{2, {{1, 12, left.data()}, {1, 12, right.data()}}},
        interleaved{1, {{2, 8, both.data()}}};
    std::string_view error;
    EXPECT_TRUE(stream.writeFromBuffer(
        PCMBuffer(reinterpret_cast<const AudioBufferList*>(&planar), 3), error));
    EXPECT_TRUE(stream.writeFromBuffer(
        PCMBuffer(reinterpret_cast<const AudioBufferList*>(&interleaved), 1), error));
    ::close(ends[1]);
    const std::vector<unsigned char> bytes = drain(ends[0]);
    ASSERT_EQ(bytes.size(), 46u + 4 * 2 * sizeof(float));
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
    std::uint32_t riff, rate, data;
    std::uint16_t format, channels, bits;
    std::memcpy(&riff, &bytes[4], 4);
    std::memcpy(&format, &bytes[20], 2);
    std::memcpy(&channels, &bytes[22], 2);
    std::memcpy(&rate, &bytes[24], 4);
    std::memcpy(&bits, &bytes[34], 2);
    std::memcpy(&data, &bytes[42], 4);
    EXPECT_EQ(std::string(bytes.begin() + 38, bytes.begin() + 42), "data");
    EXPECT_EQ(std::tuple(riff, format, channels, rate, bits, data),
              std::tuple(0xFFFFFFFFu, 3, 2, 44100u, 32, 0xFFFFFFFFu));
    std::vector<float> frames(8);
    std::memcpy(frames.data(), &bytes[46], frames.size() * sizeof(float));
    EXPECT_EQ(frames, (std::vector<float>{1, -1, 2, -2, 3, -3, 4, -4}));
    ::close(ends[0]);
  }

  // A descriptor left non-blocking by whoever started the tool is waited on, not lost.
  ASSERT_EQ(::pipe(ends), 0);
  ASSERT_EQ(::fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
  {
    WavStream stream(ends[1], 48000, 2);
    std::vector<float> many(2 * 100000, 0.5f);
    struct {
      std::uint32_t count;
      AudioBuffer buffers[1];
    } list{1, {{2, std::uint32_t(many.size() * sizeof(float)), many.data()}}};
    std::size_t read = 0;
    std::thread reader([&] { read = drain(ends[0]).size(); });
    std::string_view error;
    EXPECT_TRUE(stream.writeFromBuffer(
        PCMBuffer(reinterpret_cast<const AudioBufferList*>(&list), 100000), error));
    ::close(ends[1]);
    reader.join();
    EXPECT_EQ(read, 46 + many.size() * sizeof(float));
    ::close(ends[0]);
  }

  ASSERT_EQ(::pipe(ends), 0);
  ::signal(SIGPIPE, SIG_IGN);
  WavStream stream(ends[1], 48000, 1);
  ::close(ends[0]);
  std::vector<float> mono(16);
  struct {
    std::uint32_t count;
    AudioBuffer buffers[1];
  } list{1, {{1, 64, mono.data()}}};
  std::string_view error;
  EXPECT_FALSE(stream.writeFromBuffer(
      PCMBuffer(reinterpret_cast<const AudioBufferList*>(&list), 16), error));
  EXPECT_TRUE(stream.isFull());
  ::close(ends[1]);
}

}  // namespace
}  // namespace pt
