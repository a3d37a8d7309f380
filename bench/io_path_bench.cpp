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

#include "audio/file_settings.h"
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

// 48 kHz interleaved stereo float, as a tap delivers it.
std::shared_ptr<const pt::AudioFormat> stereoFloat() {
  return pt::makeLinearPCMFormat({kRate, pt::kAudioFormatLinearPCM,
                                  pt::kAudioFormatFlagIsFloat | pt::kAudioFormatFlagIsPacked, 8, 1,
                                  8, 2, 32, 0});
}

// libsndfile straight, 48 kHz stereo: what the recorder's path is measured against.
SNDFILE* openRaw(const std::string& path, int format) {
  SF_INFO info{};
  info.samplerate = int(kRate);
  info.channels = 2;
  info.format = format;
  return sf_open(path.c_str(), SFM_WRITE, &info);
}

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
  const auto format = stereoFloat();
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
        capture, pt::openSndfileForWriting(kPath, pt::audioFileSettingsFor(kPath, kRate, 2), true),
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
    SNDFILE* file = openRaw(kPath, SF_FORMAT_CAF | SF_FORMAT_FLOAT);
    for (long long i = 0; i < cycles; ++i) sf_writef_float(file, input.samples.data(), kFrames);
    sf_close(file);
    cpu += double(std::clock() - start) / CLOCKS_PER_SEC;
  }
  state.SetBytesProcessed(state.iterations() * cycles * kFrames * 2 * sizeof(float));
  state.counters["process_cpu_seconds"] = cpu / double(state.iterations());
}

// The codecs: 10 s of music-like audio through the recorder's path into each encoded container,
// against libsndfile encoding the same buffers straight into the same format, and the bytes an
// hour of it takes.
struct Codec {
  const char* extension;
  int format;
};
constexpr Codec kCodecs[] = {{".flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
                             {".ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
                             {".opus", SF_FORMAT_OGG | SF_FORMAT_OPUS},
                             {".mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III}};
constexpr long long kMusicCycles = 10 * 48000 / 512;

// Chords of three voices with overtones, a new one every half second, under faint noise: closer
// to what people record than a sine, which every codec squeezes to nothing.
const std::vector<float>& music() {
  static const std::vector<float> samples = [] {
    std::vector<float> s(std::size_t(kMusicCycles) * kFrames * 2);
    const double roots[] = {220, 246.9, 261.6, 293.7, 329.6, 196, 174.6, 164.8};
    std::uint32_t noise = 1;
    for (std::size_t f = 0; f < s.size() / 2; ++f) {
      const double t = double(f) / kRate, root = roots[(f / 24000) % 8];
      double v = 0;
      for (double ratio : {1.0, 1.26, 1.5})
        for (int h = 1; h <= 4; ++h) v += 0.05 / h * std::sin(2 * M_PI * root * ratio * h * t);
      noise = noise * 1664525u + 1013904223u;
      const float n = float(noise >> 8) / float(1 << 24) - 0.5f;
      s[2 * f] = float(v) + 0.01f * n;
      s[2 * f + 1] = float(v * 0.8) - 0.01f * n;
    }
    return s;
  }();
  return samples;
}

std::string codecPath(const Codec& codec) {
  return (std::filesystem::temp_directory_path() / "process-tap-bench").string() + codec.extension;
}

void BM_RecorderCodec(benchmark::State& state) {
  const Codec& codec = kCodecs[state.range(0)];
  const std::string path = codecPath(codec);
  WrappingPlatform platform;
  pt::sim::PlatformScope scope(platform);
  const auto format = stereoFloat();
  const auto stop = std::make_shared<std::atomic<bool>>(false);
  pt::LevelMeter meter;
  pt::AudioBufferList list{1, {{2, kFrames * 2 * sizeof(float), nullptr}}};
  music();         // made before the clock runs
  double cpu = 0;  // of every thread: the encoder runs on the writer's
  for (auto _ : state) {
    auto capture =
        std::make_shared<pt::IOCapture>(*format, std::numeric_limits<std::int64_t>::max(), stop,
                                        platform.pt::Platform::makeSemaphore());
    const pt::AudioDeviceIOBlock block = pt::IOCapture::makeIOBlock(capture);
    // The encoder runs on the writer thread, as in a recording.
    pt::FileWriter writer(
        capture, pt::openSndfileForWriting(path, pt::audioFileSettingsFor(path, kRate, 2), true),
        *format, meter, stop);
    writer.start();
    const std::clock_t start = std::clock();
    for (long long i = 0; i < kMusicCycles; ++i) {
      while (i * kFrames - writer.frames() > kRate)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      list.mBuffers[0].mData = const_cast<float*>(music().data()) + i * kFrames * 2;
      block(nullptr, &list, nullptr, nullptr, nullptr);
    }
    writer.finish();
    cpu += double(std::clock() - start) / CLOCKS_PER_SEC;
  }
  state.counters["process_cpu_seconds"] = cpu / double(state.iterations());
  state.SetLabel(codec.extension);
  state.counters["bytes_per_hour"] =
      double(std::filesystem::file_size(path)) * 3600 / (double(kMusicCycles * kFrames) / kRate);
}

void BM_RawCodec(benchmark::State& state) {
  const Codec& codec = kCodecs[state.range(0)];
  const std::string path = codecPath(codec);
  music();
  double cpu = 0;
  for (auto _ : state) {
    const std::clock_t start = std::clock();
    SNDFILE* file = openRaw(path, codec.format);
    // The encoder settings the writer makes, which decide the work (each codec ignores the
    // others).
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    double pageMilliseconds = 500;
    sf_command(file, SFC_SET_OGG_PAGE_LATENCY_MS, &pageMilliseconds, sizeof pageMilliseconds);
    int mode = SF_BITRATE_MODE_CONSTANT;
    if ((codec.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG)
      sf_command(file, SFC_SET_BITRATE_MODE, &mode, sizeof mode);
    for (long long i = 0; i < kMusicCycles; ++i)
      sf_writef_float(file, music().data() + i * kFrames * 2, kFrames);
    sf_close(file);
    cpu += double(std::clock() - start) / CLOCKS_PER_SEC;
  }
  state.counters["process_cpu_seconds"] = cpu / double(state.iterations());
  state.SetLabel(codec.extension);
  state.counters["bytes_per_hour"] =
      double(std::filesystem::file_size(path)) * 3600 / (double(kMusicCycles * kFrames) / kRate);
}

BENCHMARK(BM_RecorderCodec)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawCodec)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

// 10 s and 600 s of 48 kHz audio in 512-frame cycles.
constexpr long long kShort = 10 * 48000 / 512;
constexpr long long kLong = 600 * 48000 / 512;

BENCHMARK(BM_RecorderIOPath)->Arg(kShort)->Arg(kLong)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawSndfile)->Arg(kShort)->Arg(kLong)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
