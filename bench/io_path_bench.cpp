// The recorder's IO path at full speed against writing the same buffers straight through
// libsndfile, with heap allocations per cycle and the peak heap for short and long recordings.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sndfile.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <limits>
#include <new>
#include <thread>
#include <vector>

#include "audio/simulated/simulated_platform.h"
#include "audio/sndfile/sndfile_writer.h"
#include "recorder/file_writer.h"
#include "recorder/io_capture.h"

namespace {

std::atomic<long long> allocations{0};
std::atomic<long long> heapInUse{0};
std::atomic<long long> heapPeak{0};

}  // namespace

// Replacing the global allocator is the point here; GCC sees free() behind a delete.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  allocations.fetch_add(1, std::memory_order_relaxed);
  const auto bytes = static_cast<long long>(malloc_usable_size(p));
  const long long now = heapInUse.fetch_add(bytes, std::memory_order_relaxed) + bytes;
  long long peak = heapPeak.load(std::memory_order_relaxed);
  while (now > peak && !heapPeak.compare_exchange_weak(peak, now)) {
  }
  return p;
}
void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  heapInUse.fetch_sub(static_cast<long long>(malloc_usable_size(p)), std::memory_order_relaxed);
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

constexpr std::uint32_t kFrames = 512;
constexpr double kRate = 48000;

const std::string kPath =
    (std::filesystem::temp_directory_path() / "process-tap-bench.caf").string();

struct Input {
  std::vector<float> samples = std::vector<float>(kFrames * 2);
  pt::AudioBufferList list{};
  Input() {
    for (std::uint32_t i = 0; i < kFrames; ++i)
      samples[2 * i] = samples[2 * i + 1] = float(std::sin(i * 0.05));
    list.mNumberBuffers = 1;
    list.mBuffers[0] = {2, std::uint32_t(samples.size() * sizeof(float)), samples.data()};
  }
};

class WrappingPlatform : public pt::sim::SimulatedPlatform {
 public:
  std::optional<pt::PCMBuffer> makePCMBufferNoCopy(
      const pt::AudioFormat& format, const pt::AudioBufferList* list) noexcept override {
    return pt::wrapBufferListNoCopy(format, list);
  }
};

// The IO block and the writer thread together: the block is never let more than a second of
// audio ahead of the writer, so the ring never overflows. Both runs also count the process's CPU
// time, so that the writer thread's work counts as the IO block's does.
void BM_RecorderIOPath(benchmark::State& state) {
  const long long cycles = state.range(0);
  WrappingPlatform platform;
  pt::sim::PlatformScope scope(platform);
  Input input;
  const pt::AudioStreamBasicDescription d{
      kRate,
      pt::kAudioFormatLinearPCM,
      pt::kAudioFormatFlagIsFloat | pt::kAudioFormatFlagIsPacked,
      8,
      1,
      8,
      2,
      32,
      0};
  const auto format = pt::makeLinearPCMFormat(d);
  const auto stop = std::make_shared<std::atomic<bool>>(false);
  pt::LevelMeter meter;
  long long allocs = 0, peak = 0, lost = 0;
  double cpu = 0;
  for (auto _ : state) {
    // Open, write and close, as the raw run does.
    auto capture = std::make_shared<pt::IOCapture>(
        *format, std::numeric_limits<std::int64_t>::max(), stop,
        platform.pt::Platform::makeSemaphore());  // the real platforms' semaphore
    const pt::AudioDeviceIOBlock block = pt::IOCapture::makeIOBlock(capture);
    pt::FileWriter writer(
        capture, pt::openSndfileForWriting(kPath, {pt::kAudioFormatLinearPCM, kRate, 2}, true),
        *format, meter, stop);
    writer.start();
    const std::clock_t start = std::clock();
    const long long before = allocations.load();
    const long long base = heapInUse.load();
    heapPeak.store(base);
    for (long long i = 0; i < cycles; ++i) {
      while (i * kFrames - writer.frames() > kRate)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      block(nullptr, &input.list, nullptr, nullptr, nullptr);
    }
    writer.finish();
    cpu += double(std::clock() - start) / CLOCKS_PER_SEC;
    allocs = allocations.load() - before;
    peak = heapPeak.load() - base;
    lost = capture->overflowFrames();
  }
  state.SetBytesProcessed(state.iterations() * cycles * kFrames * 2 * sizeof(float));
  state.counters["allocations_per_cycle"] = double(allocs) / double(cycles);
  state.counters["peak_heap_bytes"] = double(peak);
  state.counters["seconds_of_audio"] = double(cycles * kFrames) / kRate;
  state.counters["lost_frames"] = double(lost);
  state.counters["process_cpu_seconds"] = cpu / double(state.iterations());
}

void BM_RawSndfile(benchmark::State& state) {
  const long long cycles = state.range(0);
  Input input;
  double cpu = 0;
  for (auto _ : state) {
    const std::clock_t start = std::clock();
    SF_INFO info{};
    info.samplerate = int(kRate);
    info.channels = 2;
    info.format = SF_FORMAT_CAF | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(kPath.c_str(), SFM_WRITE, &info);
    for (long long i = 0; i < cycles; ++i) sf_writef_float(file, input.samples.data(), kFrames);
    sf_close(file);
    cpu += double(std::clock() - start) / CLOCKS_PER_SEC;
  }
  state.SetBytesProcessed(state.iterations() * cycles * kFrames * 2 * sizeof(float));
  state.counters["process_cpu_seconds"] = cpu / double(state.iterations());
}

// 10 s and 600 s of 48 kHz audio in 512-frame cycles.
constexpr long long kShort = 10 * 48000 / 512;
constexpr long long kLong = 600 * 48000 / 512;

BENCHMARK(BM_RecorderIOPath)->Arg(kShort)->Arg(kLong)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawSndfile)->Arg(kShort)->Arg(kLong)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
