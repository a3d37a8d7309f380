#include "tests/readers/readers.h"

#include <sndfile.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <vector>

namespace pt::testing {
namespace {

// Runs a shell command: its standard output's size in bytes and its standard error's text.
std::pair<std::int64_t, std::string> run(const std::string& command, std::string* out = nullptr) {
  const std::string errPath = std::filesystem::temp_directory_path() /
                              ("pt-readers-" + std::to_string(::getpid()) + ".err");
  std::int64_t bytes = -1;
  if (FILE* pipe = ::popen((command + " 2>'" + errPath + "'").c_str(), "r")) {
    bytes = 0;
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
      bytes += std::int64_t(n);
      if (out) out->append(buffer, n);
    }
    if (::pclose(pipe) != 0) bytes = -1;
  }
  std::ostringstream err;
  if (FILE* f = std::fopen(errPath.c_str(), "r")) {
    char line[1024];
    while (std::fgets(line, sizeof line, f)) {
      const std::string text = line;
      if (text.find("Guessed Channel Layout") != std::string::npos ||
          text.find("Estimating duration from bitrate") != std::string::npos)
        continue;
      err << text;
    }
    std::fclose(f);
  }
  std::remove(errPath.c_str());
  return {bytes, err.str()};
}

std::string quoted(const std::filesystem::path& file) { return "'" + file.string() + "'"; }

}  // namespace

Readings readEverywhere(const std::filesystem::path& file) {
  Readings r;
  SF_INFO info{};
  if (SNDFILE* f = sf_open(file.c_str(), SFM_READ, &info)) {
    // SF_COUNT_MAX is a length unknown, which python-soundfile cannot allocate for.
    if (info.frames == SF_COUNT_MAX) r.sndfile.complaint = "no length stated";
    r.sndfile.stated = info.frames;
    r.sndfile.decoded = 0;
    std::vector<float> chunk(std::size_t(4096) * std::size_t(std::max(1, info.channels)));
    for (sf_count_t n; (n = sf_readf_float(f, chunk.data(), 4096)) > 0;) r.sndfile.decoded += n;
    sf_close(f);
  } else {
    r.sndfile.complaint = sf_strerror(nullptr);
  }
  std::string soxi;
  auto [soxBytes, soxErr] = run("sox " + quoted(file) + " -t f32 -c 1 -");
  r.sox.decoded = soxBytes < 0 ? -1 : soxBytes / 4;
  r.sox.complaint = soxErr;
  if (run("soxi -s " + quoted(file), &soxi).first > 0) r.sox.stated = std::atoll(soxi.c_str());
  auto [ffBytes, ffErr] =
      run("ffmpeg -nostdin -v warning -i " + quoted(file) + " -f f32le -ac 1 -");
  r.ffmpeg.decoded = ffBytes < 0 ? -1 : ffBytes / 4;
  r.ffmpeg.complaint = ffErr;
  std::string probe;
  if (run("ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate:format=duration "
          "-of default=nw=1:nk=1 " +
              quoted(file),
          &probe)
          .first > 0) {
    std::istringstream values(probe);
    double rate = 0, seconds = 0;
    if (values >> rate >> seconds) r.ffmpeg.stated = std::llround(rate * seconds);
  }
  return r;
}

}  // namespace pt::testing
