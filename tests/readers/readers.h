// What the three readers users reach for make of a recorded file: libsndfile (python-soundfile's
// library), sox and ffmpeg, each run as a user would.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace pt::testing {

struct Reading {
  std::int64_t stated = -1;   // the frames the file claims to this reader; -1: none stated
  std::int64_t decoded = -1;  // the frames it decodes; -1: it cannot open the file
  std::string complaint;      // what it warned of or failed on; empty when it read cleanly
};

struct Readings {
  Reading sndfile, sox, ffmpeg;
};

// ffmpeg's notes that hold for any such file, its own too, are no complaint: a layout guessed
// for a file that names no speakers, and an LPCM CAF's duration taken from its bit rate.
Readings readEverywhere(const std::filesystem::path& file);

}  // namespace pt::testing
