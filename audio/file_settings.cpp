#include "audio/file_settings.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>

#include "audio/text_error.h"

namespace pt {
namespace {

std::string lowercaseExtension(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  std::string extension = path.substr(dot);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return extension;
}

// AAC at 96 kb/s a channel: about what a stereo stream of music needs to sound unchanged.
constexpr std::uint32_t kAACBitRatePerChannel = 96000;
// The highest rate AAC's common profile has, and the highest Apple's encoder is known to take;
// AVAudioFile is not said to convert the rate itself.
constexpr double kAACMaxRate = 48000;

// Every extension, in the order the user reads them.
constexpr const char* kExtensions[] = {".caf",  ".wav",  ".aif", ".aiff", ".aifc", ".w64",
                                       ".rf64", ".flac", ".ogg", ".opus", ".mp3",  ".m4a"};

std::optional<AudioFileSettings> settingsFor(const std::string& extension, double sampleRate,
                                             std::uint32_t channels) {
  const auto floats = [&](AudioFileTypeID type, bool bigEndian = false) {
    return AudioFileSettings{type,     kAudioFormatLinearPCM, sampleRate, channels, 32, true,
                             bigEndian};
  };
  const auto encoded = [&](AudioFileTypeID type, AudioFormatID format) {
    return AudioFileSettings{type, format, sampleRate, channels};
  };
  if (extension == ".caf") return floats(kAudioFileCAFType);
  if (extension == ".wav") return floats(kAudioFileWAVEType);
  // Plain AIFF holds only integers; AIFF-C holds float, and only big-endian.
  if (extension == ".aif" || extension == ".aiff" || extension == ".aifc")
    return floats(kAudioFileAIFCType, true);
  if (extension == ".w64") return floats(kAudioFileWave64Type);
  if (extension == ".rf64") return floats(kAudioFileRF64Type);
  if (extension == ".flac") {
    AudioFileSettings settings = encoded(kAudioFileFLACType, kAudioFormatFLAC);
    settings.bitDepth = 24;  // what every FLAC decoder reads; float samples are rounded to it
    return settings;
  }
  if (extension == ".ogg") return encoded(0, kAudioFormatVorbis);
  if (extension == ".opus") return encoded(0, kAudioFormatOpus);
  if (extension == ".mp3") return encoded(kAudioFileMP3Type, kAudioFormatMPEGLayer3);
  if (extension == ".m4a") {
    AudioFileSettings settings = encoded(kAudioFileM4AType, kAudioFormatMPEG4AAC);
    settings.bitRate = kAACBitRatePerChannel * channels;
    return settings;
  }
  return std::nullopt;
}

// What a platform is asked about: the shape of a common recording.
std::optional<AudioFileSettings> typicalSettingsFor(const std::string& extension) {
  return settingsFor(extension, 48000, 2);
}

// Why `extension` makes no file here: missing, unknown, or a container the platform lacks.
std::string unwritable(const std::string& path, const std::string& extension, bool known) {
  if (extension.empty()) return cannotCreateFile(path, kNoExtension);
  if (!known) return cannotCreateFile(path, std::string(kUnknownExtension) + " " + extension);
  return cannotCreateFile(path, kFormatNotWritten);
}

}  // namespace

std::string cannotCreateFile(const std::string& path, const std::string& reason) {
  return std::string(kCreateFileFailed) + " " + path + "：" + reason;
}

AudioFileSettings audioFileSettingsFor(const std::string& path, double sampleRate,
                                       std::uint32_t channels) {
  const std::string extension = lowercaseExtension(path);
  const std::optional<AudioFileSettings> settings = settingsFor(extension, sampleRate, channels);
  if (!settings) throw TextError(unwritable(path, extension, false), TextError::Blame::commandLine);
  if (settings->formatID == kAudioFormatMPEG4AAC && sampleRate > kAACMaxRate) {
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.0f", sampleRate);
    throw TextError(cannotCreateFile(
        path, "AAC 不支持 " + std::string(rate) + " Hz 的采样率，最高只支持 48000 Hz"));
  }
  return *settings;
}

std::vector<std::string> writtenExtensions() {
  std::vector<std::string> written;
  for (const char* extension : kExtensions)
    if (platform().writesAudioFile(*typicalSettingsFor(extension))) written.push_back(extension);
  return written;
}

void requireWrittenExtension(const std::string& path) {
  const std::string extension = lowercaseExtension(path);
  const std::optional<AudioFileSettings> settings = typicalSettingsFor(extension);
  if (settings && platform().writesAudioFile(*settings)) return;
  std::string text =
      unwritable(path, extension, settings.has_value()) + "；" + kWrittenExtensions + "：";
  const std::vector<std::string> written = writtenExtensions();
  for (std::size_t i = 0; i < written.size(); ++i) text += (i > 0 ? "、" : "") + written[i];
  throw TextError(text, TextError::Blame::commandLine);
}

}  // namespace pt
