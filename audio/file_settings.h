// Which file a path asks for: its extension chooses the container and the encoding, the same on
// every platform, so that AVFoundation and libsndfile are handed the same settings.
#pragma once

#include <cstdint>
#include <string>

#include "audio/platform.h"

namespace pt {

// The settings for recording `channels` at `sampleRate` into `path`, by its extension in any
// case: .caf, .wav, .w64, .rf64 32-bit float; .aif/.aiff/.aifc AIFF-C, big-endian 32-bit float;
// .flac FLAC of 24-bit samples; .ogg Vorbis; .opus Opus; .mp3 MPEG layer III; .m4a AAC, at
// 48 kHz or below. Which of them a writer can produce is the writer's to say. Throws TextError
// naming the path for any other extension, and for AAC at a higher rate.
AudioFileSettings audioFileSettingsFor(const std::string& path, double sampleRate,
                                       std::uint32_t channels);

}  // namespace pt
