// Audio files, formats and buffer wrapping on libsndfile, for platforms without AVFoundation.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "audio/platform.h"

namespace pt {

// The writer for `path` with the settings audioFileSettingsFor chose for it: 32-bit float
// samples unchanged in CAF, WAVE, AIFF-C, Wave64 and RF64, or encoded as FLAC, Ogg Vorbis, Ogg
// Opus or MP3 as they are written. Throws TextError naming the path and the reason when the
// file cannot be created: settings libsndfile has no format for (AAC), a rate Opus does not
// take, a path that cannot be created.
std::shared_ptr<AudioFile> openSndfileForWriting(const std::string& path,
                                                 const AudioFileSettings& settings,
                                                 bool interleaved);

// Whether libsndfile has a container and format for these settings (their rate aside): every
// one audioFileSettingsFor chooses but AAC. Platform::writesAudioFile for the writer above.
bool sndfileWrites(const AudioFileSettings& settings) noexcept;

// A 32-bit float linear PCM format, or null when `description` is not one this writer takes.
std::shared_ptr<const AudioFormat> makeLinearPCMFormat(
    const AudioStreamBasicDescription& description);

// `list` as a buffer of `format`, or nothing when its layout does not match the format.
std::optional<PCMBuffer> wrapBufferListNoCopy(const AudioFormat& format,
                                              const AudioBufferList* list) noexcept;

}  // namespace pt
