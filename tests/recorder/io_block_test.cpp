// The IO path on its own: what the IO block takes, counts and cuts, and what the writer thread
// makes of the ring, for what a whole recording cannot show.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <thread>
#include <vector>

#include <unistd.h>

#include "audio/simulated/simulated_platform.h"
#include "audio/sndfile/sndfile_writer.h"
#include "recorder/file_writer.h"
#include "recorder/io_capture.h"

namespace pt {
namespace {

// Keeps every sample it is handed, in order.
class KeepingFile : public AudioFile {
 public:
  bool writeFromBuffer(const PCMBuffer& buffer, std::string_view&) noexcept override {
    if (writes == 0) std::this_thread::sleep_for(firstWriteTakes);
    if (kept.size() / 2 + buffer.frameLength() > capacity) return !(full = true);
    const auto* samples = static_cast<const float*>(buffer.bufferList()->mBuffers[0].mData);
    kept.insert(kept.end(), samples, samples + 2 * buffer.frameLength());
    ++writes;
    return true;
  }
  bool isFull() const noexcept override { return full; }
  std::vector<float> kept;
  int writes = 0;
  std::size_t capacity = std::numeric_limits<std::size_t>::max();  // frames
  bool full = false;
  std::chrono::milliseconds firstWriteTakes{0};
};

class WrappingPlatform : public sim::SimulatedPlatform {
 public:
  std::optional<PCMBuffer> makePCMBufferNoCopy(const AudioFormat& format,
                                               const AudioBufferList* list) noexcept override {
    return wrapBufferListNoCopy(format, list);
  }
  bool ioBlockIsRealTime() const noexcept override { return realTime; }
  bool realTime = true;
};

constexpr AudioStreamBasicDescription kStereo{
    1000, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 8, 1, 8, 2, 32,
    0};

class IOPathTest : public ::testing::Test {
 protected:
  // A ring of 2 s at 1000 Hz: 2000 frames.
  void make(std::int64_t frameLimit) {
    capture_ = std::make_shared<IOCapture>(*format_, frameLimit, stop_, platform_.makeSemaphore());
    block_ = IOCapture::makeIOBlock(capture_);
    writer_ = std::make_unique<FileWriter>(capture_, file_, *format_, meter_, stop_);
  }
  // One cycle of `frames` frames, sample n of the recording being n (both channels).
  void cycle(std::uint32_t frames, const AudioTimeStamp* time = nullptr) {
    std::vector<float> samples(2 * frames);
    for (std::uint32_t f = 0; f < frames; ++f) samples[2 * f] = samples[2 * f + 1] = float(next_++);
    AudioBufferList input{1, {{2, std::uint32_t(samples.size() * sizeof(float)), samples.data()}}};
    block_(nullptr, &input, time, &output_, nullptr);
  }

  WrappingPlatform platform_;
  sim::PlatformScope scope_{platform_};
  std::shared_ptr<const AudioFormat> format_ = makeLinearPCMFormat(kStereo);
  std::shared_ptr<std::atomic<bool>> stop_ = std::make_shared<std::atomic<bool>>(false);
  LevelMeter meter_;
  std::shared_ptr<KeepingFile> file_ = std::make_shared<KeepingFile>();
  std::shared_ptr<IOCapture> capture_;
  std::unique_ptr<FileWriter> writer_;
  AudioDeviceIOBlock block_;
  AudioBufferList output_{1, {{2, 16, reinterpret_cast<void*>(0x1234)}}};
  int next_ = 0;
};

// The writer starts late, as after a stall: what fits in the ring is written in order; the cycle
// that does not fit is lost, counted and silence in its place; the cycle that
// completes the duration is cut to fit and ends the wait; nothing after it is taken.
TEST_F(IOPathTest, TheRingKeepsWhatFitsInOrderAndTheLastCycleIsCutToTheDuration) {
  make(3000);
  for (int i = 0; i < 3; ++i) cycle(700);  // 2100 frames: the third does not fit
  writer_->start();
  writer_->finish();
  EXPECT_EQ(capture_->overflowFrames(), 700);
  EXPECT_FALSE(stop_->load());
  for (int i = 0; i < 3; ++i) cycle(700);  // 3000 is reached in the second
  EXPECT_TRUE(stop_->load());
  FileWriter second(capture_, file_, *format_, meter_, stop_);
  second.start();
  second.finish();
  EXPECT_EQ(writer_->frames() + second.frames(), 3000);
  EXPECT_EQ(second.cycles(), 2);  // the last one partial
  ASSERT_EQ(file_->kept.size(), 2u * 3000);
  for (std::size_t f : {0u, 1399u, 1400u, 2099u, 2100u, 2999u})
    EXPECT_EQ(file_->kept[2 * f + 1], float(f < 1400 || f >= 2100 ? f : 0)) << f;
  EXPECT_EQ(output_.mBuffers[0].mData, reinterpret_cast<void*>(0x1234));  // left alone
}

// A backlog goes to the file in one write; a file that cannot take it all still takes each
// cycle that fits before the recording ends full.
TEST_F(IOPathTest, ABacklogIsWrittenTogetherAndAFullFileTakesWhatFits) {
  make(std::numeric_limits<std::int64_t>::max());
  for (int i = 0; i < 3; ++i) cycle(400);
  writer_->start();
  writer_->finish();
  EXPECT_EQ(file_->writes, 1);
  EXPECT_EQ(writer_->cycles(), 3);

  file_ = std::make_shared<KeepingFile>();
  file_->capacity = 1000;
  make(std::numeric_limits<std::int64_t>::max());
  for (int i = 0; i < 3; ++i) cycle(400);
  writer_->start();
  writer_->finish();
  EXPECT_EQ(writer_->frames(), 800);
  EXPECT_EQ(writer_->cycles(), 2);
  EXPECT_TRUE(writer_->fileFull());
  EXPECT_TRUE(stop_->load());
}

// Lost cycles are counted, each once: a list that does not fit the format is unread, its length
// what the next valid sample time moved past; a gap in valid sample times is skipped audio;
// times without the valid flag are not judged.
TEST_F(IOPathTest, UnreadableCyclesAndGapsInTheSampleTimeAreCounted) {
  make(std::numeric_limits<std::int64_t>::max());
  AudioTimeStamp time{};
  time.mFlags = kAudioTimeStampSampleTimeValid;
  for (double at : {100.0, 110.0, 130.0}) {  // 10 frames each: a gap of 10
    time.mSampleTime = at;
    cycle(10, &time);
  }
  std::vector<float> samples(20);
  AudioBufferList twoBuffers{2, {{2, 80, samples.data()}}};
  AudioBufferList noData{1, {{2, 80, nullptr}}};
  for (const AudioBufferList* list : {&twoBuffers, &noData, static_cast<AudioBufferList*>(nullptr)})
    block_(nullptr, list, &time, nullptr, nullptr);
  time.mSampleTime = 500;
  cycle(10, &time);
  time.mFlags = 0;
  time.mSampleTime = 9000;
  cycle(10, &time);
  EXPECT_EQ(capture_->unreadCycles(), 3);
  EXPECT_EQ(capture_->unreadFrames(), 360);
  EXPECT_EQ(capture_->skippedFrames(), 10);
  EXPECT_EQ(capture_->cycles(), 8);
}

// Off a real-time thread (Linux) a burst that outruns a writer not yet scheduled waits for room.
TEST_F(IOPathTest, OffARealTimeThreadABurstWaitsForTheWriter) {
  platform_.realTime = false;
  file_->firstWriteTakes = std::chrono::milliseconds(50);
  make(std::numeric_limits<std::int64_t>::max());
  writer_->start();
  for (int i = 0; i < 4; ++i) cycle(1500);  // 6000 frames into a ring of 2000
  writer_->finish();
  EXPECT_EQ(capture_->overflowFrames(), 0);
  EXPECT_EQ(writer_->frames(), 6000);
}

// The writer is woken for each of the first batch's cycles, then once a batch (0.2 s) has
// gathered, and for the duration's last cycle.
TEST_F(IOPathTest, TheWriterIsWokenOncePerBatch) {
  struct Counting : Semaphore {
    void signal() noexcept override { ++signals; }
    void wait() noexcept override {}
    int signals = 0;
  };
  auto counting = std::make_shared<Counting>();
  capture_ = std::make_shared<IOCapture>(*format_, 1000, stop_, counting);
  block_ = IOCapture::makeIOBlock(capture_);
  for (int i = 0; i < 4; ++i) cycle(50);  // the first 200 frames: each
  EXPECT_EQ(counting->signals, 4);
  for (int i = 0; i < 7; ++i) cycle(50);  // a batch after four more
  EXPECT_EQ(counting->signals, 5);
  cycle(400);
  EXPECT_EQ(counting->signals, 6);
  cycle(100);  // reaches the duration: woken though short of a batch
  EXPECT_EQ(counting->signals, 7);
}

TEST_F(IOPathTest, AnySampleThatIsNotZeroIsSound) {
  make(std::numeric_limits<std::int64_t>::max());
  writer_->start();
  std::vector<float> samples(16, 0.0f);
  samples[3] = -0.0f;
  AudioBufferList input{1, {{2, std::uint32_t(samples.size() * sizeof(float)), samples.data()}}};
  block_(nullptr, &input, nullptr, nullptr, nullptr);
  writer_->finish();
  EXPECT_FALSE(writer_->heardSound());
  samples.back() = -1e-30f;  // quiet, but not digital silence
  block_(nullptr, &input, nullptr, nullptr, nullptr);
  FileWriter second(capture_, file_, *format_, meter_, stop_);
  second.start();
  second.finish();
  EXPECT_TRUE(second.heardSound());
}

// A cycle pushed while older ones wait goes across the samples' end and reads back whole.
TEST(CycleRing, ACycleAcrossTheEndReadsBackWhole) {
  CycleRing ring(1, 1, 10, 1, true);
  std::vector<float> samples(10);
  AudioBufferList list{1, {{1, 40, samples.data()}}};
  const auto push = [&](std::uint32_t frames, float first) {
    for (std::uint32_t f = 0; f < frames; ++f) samples[f] = first + float(f);
    return ring.push(list, frames);
  };
  ASSERT_TRUE(push(6, 0));
  ASSERT_TRUE(push(3, 100));
  ring.pop();
  ASSERT_FALSE(push(8, 200));  // 3 held: room for 7
  ASSERT_TRUE(push(7, 200));   // 1 at the end, 6 from the start
  std::vector<float> out(10);
  AudioBufferList to{1, {{1, 40, out.data()}}};
  ring.read(0, 10, to);
  EXPECT_EQ(out, (std::vector<float>{100, 101, 102, 200, 201, 202, 203, 204, 205, 206}));
}

// A writer that keeps up uses the start of a ring only: the rest is never mapped in.
TEST(CycleRing, AWriterThatKeepsUpTouchesOnlyTheRingsStart) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "a sanitizer's allocator and shadow memory decide what is resident";
#elif defined(__linux__)
  const auto resident = [] {
    long pages = 0, total = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%ld %ld", &total, &pages) != 2) pages = 0;
      std::fclose(statm);
    }
    return pages * sysconf(_SC_PAGESIZE);
  };
  std::vector<float> samples(2 * 480, 0.5f);
  AudioBufferList list{1, {{2, std::uint32_t(samples.size() * sizeof(float)), samples.data()}}};
  std::vector<float> out(samples.size());
  AudioBufferList to{1, {{2, std::uint32_t(out.size() * sizeof(float)), out.data()}}};
  const long before = resident();
  CycleRing ring(1, 2, 48000 * 10, 8, false);  // 3.84 MB
  for (int i = 0; i < 3000; ++i) {             // 30 s of 10 ms cycles
    ASSERT_TRUE(ring.push(list, 480));
    ring.read(0, 480, to);
    ring.pop();
  }
  EXPECT_LT(resident() - before, 1'000'000);
#else
  GTEST_SKIP() << "reads /proc";
#endif
}

}  // namespace
}  // namespace pt
