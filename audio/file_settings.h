// Which file a path asks for: its extension chooses the container and the encoding, the same on
// every platform, so that AVFoundation and libsndfile are handed the same settings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio/platform.h"

namespace pt {

inline constexpr const char* kCreateFileFailed = "无法创建音频文件";
inline constexpr const char* kUnknownExtension = "不支持的文件扩展名";
inline constexpr const char* kNoExtension = "文件名没有扩展名";
inline constexpr const char* kFormatNotWritten = "本平台不支持该文件格式";
inline constexpr const char* kWrittenExtensions = "本平台可写的扩展名";

// "无法创建音频文件 <path>：<reason>": the form of every report that the output file could not be
// made.
std::string cannotCreateFile(const std::string& path, const std::string& reason);

// The settings for recording `channels` at `sampleRate` into `path`, by its extension in any
// case: .caf, .wav, .w64, .rf64 32-bit float; .aif/.aiff/.aifc AIFF-C, big-endian 32-bit float;
// .flac FLAC of 24-bit samples; .ogg Vorbis; .opus Opus; .mp3 MPEG layer III; .m4a AAC, at
// 48 kHz or below. Which of them a writer can produce is the writer's to say
// (Platform::writesAudioFile). Throws a command-line TextError naming the path for any other
// extension, and a TextError for AAC at a higher rate.
AudioFileSettings audioFileSettingsFor(const std::string& path, double sampleRate,
                                       std::uint32_t channels);

// The extensions audioFileSettingsFor knows whose files the installed platform writes.
std::vector<std::string> writtenExtensions();

// Throws a command-line TextError naming `path` and the written extensions when its extension is
// missing, unknown or one the platform does not write.
void requireWrittenExtension(const std::string& path);

}  // namespace pt
