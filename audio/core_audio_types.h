// The platform's own value types, spelled and laid out as Core Audio publishes them, so that the
// portable code and every adapter speak the same terms. The macOS adapter checks the layouts
// against the SDK's and passes these records through without conversion.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pt {

using OSStatus = std::int32_t;
using AudioObjectPropertySelector = std::uint32_t;
using AudioObjectPropertyScope = std::uint32_t;
using AudioObjectPropertyElement = std::uint32_t;
using AudioFormatID = std::uint32_t;
using AudioFormatFlags = std::uint32_t;
using AudioFileTypeID = std::uint32_t;

inline constexpr OSStatus noErr = 0;

// Four ASCII characters read as one big-endian number: fourCC("glob") == 0x676C6F62.
constexpr std::uint32_t fourCC(const char (&code)[5]) {
  return (std::uint32_t(std::uint8_t(code[0])) << 24) |
         (std::uint32_t(std::uint8_t(code[1])) << 16) |
         (std::uint32_t(std::uint8_t(code[2])) << 8) | std::uint32_t(std::uint8_t(code[3]));
}

inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal = fourCC("glob");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeInput = fourCC("inpt");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeOutput = fourCC("outp");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeWildcard = fourCC("****");
inline constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMain = 0;
inline constexpr AudioObjectPropertyElement kAudioObjectPropertyElementWildcard = 0xFFFFFFFF;

// Selectors the tool reads.
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyProcessObjectList =
    fourCC("prs#");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyTranslatePIDToProcessObject =
    fourCC("id2p");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultSystemOutputDevice =
    fourCC("sOut");
// The input devices: every device ('dev#'; those with input streams are inputs), the default
// one, and each one's name and clock domain (0: unknown).
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDevices = fourCC("dev#");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultInputDevice =
    fourCC("dIn ");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyName = fourCC("lnam");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyClockDomain = fourCC("clkd");
inline constexpr AudioObjectPropertySelector kAudioProcessPropertyPID = fourCC("ppid");
inline constexpr AudioObjectPropertySelector kAudioProcessPropertyBundleID = fourCC("pbid");
inline constexpr AudioObjectPropertySelector kAudioProcessPropertyIsRunning = fourCC("pir?");
inline constexpr AudioObjectPropertySelector kAudioProcessPropertyIsRunningOutput = fourCC("piro");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceUID = fourCC("uid ");
inline constexpr AudioObjectPropertySelector kAudioTapPropertyFormat = fourCC("tfmt");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyNominalSampleRate = fourCC("nsrt");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceIsAlive = fourCC("livn");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyStreamConfiguration =
    fourCC("slay");
// Listened to: a notification makes any stream place read before it stale.
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyStreams = fourCC("stm#");
// Settable, per IO block: which of the device's streams of one direction the block uses.
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyIOProcStreamUsage = fourCC("suse");

// Statuses the platforms and the simulated platform answer with.
inline constexpr OSStatus kAudioHardwareUnspecifiedError = OSStatus(fourCC("what"));
inline constexpr OSStatus kAudioHardwareUnknownPropertyError = OSStatus(fourCC("who?"));
inline constexpr OSStatus kAudioHardwareBadPropertySizeError = OSStatus(fourCC("!siz"));
inline constexpr OSStatus kAudioHardwareIllegalOperationError = OSStatus(fourCC("nope"));
inline constexpr OSStatus kAudioHardwareBadObjectError = OSStatus(fourCC("!obj"));
inline constexpr OSStatus kAudioHardwareBadDeviceError = OSStatus(fourCC("!dev"));
inline constexpr OSStatus kAudioHardwareNotRunningError = OSStatus(fourCC("stop"));
inline constexpr OSStatus kAudio_ParamError = -50;

inline constexpr AudioFormatID kAudioFormatLinearPCM = fourCC("lpcm");
inline constexpr AudioFormatID kAudioFormatFLAC = fourCC("flac");
inline constexpr AudioFormatID kAudioFormatMPEG4AAC = fourCC("aac ");
inline constexpr AudioFormatID kAudioFormatOpus = fourCC("opus");
inline constexpr AudioFormatID kAudioFormatMPEGLayer3 = fourCC(".mp3");
// Core Audio has no Vorbis; this code is the tool's own and only libsndfile writes it.
inline constexpr AudioFormatID kAudioFormatVorbis = fourCC("vorb");
inline constexpr AudioFormatFlags kAudioFormatFlagIsFloat = 1u << 0;
inline constexpr AudioFormatFlags kAudioFormatFlagIsBigEndian = 1u << 1;
inline constexpr AudioFormatFlags kAudioFormatFlagIsPacked = 1u << 3;
inline constexpr AudioFormatFlags kAudioFormatFlagIsNonInterleaved = 1u << 5;

// AudioFile.h's containers. Ogg has none: 0 leaves the container to the path's extension.
inline constexpr AudioFileTypeID kAudioFileCAFType = fourCC("caff");
inline constexpr AudioFileTypeID kAudioFileWAVEType = fourCC("WAVE");
inline constexpr AudioFileTypeID kAudioFileAIFCType = fourCC("AIFC");
inline constexpr AudioFileTypeID kAudioFileWave64Type = fourCC("W64f");
inline constexpr AudioFileTypeID kAudioFileRF64Type = fourCC("RF64");
inline constexpr AudioFileTypeID kAudioFileFLACType = fourCC("flac");
inline constexpr AudioFileTypeID kAudioFileMP3Type = fourCC("MPG3");
inline constexpr AudioFileTypeID kAudioFileM4AType = fourCC("m4af");

struct AudioObjectPropertyAddress {
  AudioObjectPropertySelector mSelector;
  AudioObjectPropertyScope mScope;
  AudioObjectPropertyElement mElement;
};

struct AudioStreamBasicDescription {
  double mSampleRate;
  AudioFormatID mFormatID;
  AudioFormatFlags mFormatFlags;
  std::uint32_t mBytesPerPacket;
  std::uint32_t mFramesPerPacket;
  std::uint32_t mBytesPerFrame;
  std::uint32_t mChannelsPerFrame;
  std::uint32_t mBitsPerChannel;
  std::uint32_t mReserved;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

struct AudioBuffer {
  std::uint32_t mNumberChannels;
  std::uint32_t mDataByteSize;
  void* mData;
};

// Variable length, as on the platform: mNumberBuffers entries follow in one allocation.
struct AudioBufferList {
  std::uint32_t mNumberBuffers;
  AudioBuffer mBuffers[1];
};

inline constexpr std::size_t audioBufferListSize(std::uint32_t buffers) {
  return offsetof(AudioBufferList, mBuffers) + sizeof(AudioBuffer) * (buffers == 0 ? 1 : buffers);
}

// Variable length, as on the platform: mNumberStreams flags follow in one allocation. mIOProc is
// the registration (AudioDeviceIOProcID) the usage belongs to.
struct AudioHardwareIOProcStreamUsage {
  void* mIOProc;
  std::uint32_t mNumberStreams;
  std::uint32_t mStreamIsOn[1];
};

inline constexpr std::size_t ioProcStreamUsageSize(std::uint32_t streams) {
  return offsetof(AudioHardwareIOProcStreamUsage, mStreamIsOn) +
         sizeof(std::uint32_t) * (streams == 0 ? 1 : streams);
}

struct SMPTETime {
  std::int16_t mSubframes;
  std::int16_t mSubframeDivisor;
  std::uint32_t mCounter;
  std::uint32_t mType;
  std::uint32_t mFlags;
  std::int16_t mHours;
  std::int16_t mMinutes;
  std::int16_t mSeconds;
  std::int16_t mFrames;
};

// AudioTimeStamp.mFlags: mSampleTime holds the sample time.
inline constexpr std::uint32_t kAudioTimeStampSampleTimeValid = 1u << 0;

struct AudioTimeStamp {
  double mSampleTime;
  std::uint64_t mHostTime;
  double mRateScalar;
  std::uint64_t mWordClockTime;
  SMPTETime mSMPTETime;
  std::uint32_t mFlags;
  std::uint32_t mReserved;
};
static_assert(sizeof(AudioTimeStamp) == 64);

}  // namespace pt
