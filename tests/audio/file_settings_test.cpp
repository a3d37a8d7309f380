// What each extension asks of AVFoundation and libsndfile alike.
#include "audio/file_settings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "audio/text_error.h"

namespace pt {
namespace {

TEST(FileSettings, EachExtensionChoosesItsContainerAndEncodingInAnyCase) {
  struct Case {
    const char* path;
    AudioFileTypeID fileType;
    AudioFormatID formatID;
    std::uint32_t bitDepth;
    bool isFloat, isBigEndian;
    std::uint32_t bitRate;
  };
  const Case cases[] = {
      {"a.caf", kAudioFileCAFType, kAudioFormatLinearPCM, 32, true, false, 0},
      {"/x/b.WAV", kAudioFileWAVEType, kAudioFormatLinearPCM, 32, true, false, 0},
      {"c.aif", kAudioFileAIFCType, kAudioFormatLinearPCM, 32, true, true, 0},
      {"d.Aiff", kAudioFileAIFCType, kAudioFormatLinearPCM, 32, true, true, 0},
      {"e.w64", kAudioFileWave64Type, kAudioFormatLinearPCM, 32, true, false, 0},
      {"f.rf64", kAudioFileRF64Type, kAudioFormatLinearPCM, 32, true, false, 0},
      {"g.FLAC", kAudioFileFLACType, kAudioFormatFLAC, 24, false, false, 0},
      {"h.ogg", 0, kAudioFormatVorbis, 0, false, false, 0},
      {"i.opus", 0, kAudioFormatOpus, 0, false, false, 0},
      {"j.mp3", kAudioFileMP3Type, kAudioFormatMPEGLayer3, 0, false, false, 0},
      {"k.m4a", kAudioFileM4AType, kAudioFormatMPEG4AAC, 0, false, false, 192000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const AudioFileSettings s = audioFileSettingsFor(c.path, 44100, 2);
    EXPECT_EQ(s.fileType, c.fileType);
    EXPECT_EQ(s.formatID, c.formatID);
    EXPECT_EQ(s.sampleRate, 44100);
    EXPECT_EQ(s.channels, 2u);
    EXPECT_EQ(s.bitDepth, c.bitDepth);
    EXPECT_EQ(s.isFloat, c.isFloat);
    EXPECT_EQ(s.isBigEndian, c.isBigEndian);
    EXPECT_EQ(s.bitRate, c.bitRate);
  }
}

// `process-tap --help` must not leave a file named --help behind.
TEST(FileSettings, AnyOtherPathFailsNamingIt) {
  for (const char* path : {"--help", "-h", "a.txt", "dir.wav/x", "/tmp/.caf/x"}) {
    try {
      audioFileSettingsFor(path, 48000, 2);
      ADD_FAILURE() << path;
    } catch (const TextError& e) {
      EXPECT_EQ(std::string(e.what()),
                "无法创建音频文件 " + std::string(path) + "：不支持的文件扩展名");
    }
  }
}

}  // namespace
}  // namespace pt
