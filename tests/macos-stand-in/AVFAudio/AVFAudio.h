// Stand-in: AVAudioFormat, AVAudioPCMBuffer, AVAudioFile and the file settings keys as the
// adapter uses them (AVAudioFormat.h, AVAudioBuffer.h, AVAudioFile.h, AVAudioSettings.h).
// Declarations only.
#pragma once

#include <Availability.h>
#include <CoreAudio/CoreAudioTypes.h>
#include <Foundation/Foundation.h>

#pragma clang assume_nonnull begin

typedef uint32_t AVAudioFrameCount;
typedef uint32_t AVAudioChannelCount;

typedef NS_ENUM(NSUInteger, AVAudioCommonFormat) {
  AVAudioOtherFormat = 0,
  AVAudioPCMFormatFloat32 = 1,
  AVAudioPCMFormatFloat64 = 2,
  AVAudioPCMFormatInt16 = 3,
  AVAudioPCMFormatInt32 = 4,
};

@interface AVAudioFormat : NSObject
- (nullable instancetype)initWithStreamDescription:(const AudioStreamBasicDescription*)asbd;
@property(nonatomic, readonly) double sampleRate;
@property(nonatomic, readonly) AVAudioChannelCount channelCount;
@property(nonatomic, readonly, getter=isInterleaved) BOOL interleaved;
@property(nonatomic, readonly) const AudioStreamBasicDescription* streamDescription;
@property(nonatomic, readonly) AVAudioCommonFormat commonFormat;
@end

@interface AVAudioBuffer : NSObject
@end

@interface AVAudioPCMBuffer : AVAudioBuffer
- (nullable instancetype)initWithPCMFormat:(AVAudioFormat*)format
                          bufferListNoCopy:(const AudioBufferList*)bufferList
                               deallocator:(void (^_Nullable)(const AudioBufferList*))deallocator;
@property(nonatomic) AVAudioFrameCount frameLength;
@end

@interface AVAudioFile : NSObject
- (nullable instancetype)initForWriting:(NSURL*)fileURL
                               settings:(NSDictionary<NSString*, id>*)settings
                           commonFormat:(AVAudioCommonFormat)format
                            interleaved:(BOOL)interleaved
                                  error:(NSError**)outError;
- (BOOL)writeFromBuffer:(const AVAudioPCMBuffer*)buffer error:(NSError**)outError;
@property(nonatomic, readonly) AVAudioFormat* processingFormat;
- (void)close API_AVAILABLE(macos(15.0), ios(18.0), watchos(11.0), tvos(18.0), macCatalyst(18.0));
@end

#ifdef __cplusplus
extern "C" {
#endif
extern NSString* const AVFormatIDKey;
extern NSString* const AVSampleRateKey;
extern NSString* const AVNumberOfChannelsKey;
extern NSString* const AVLinearPCMBitDepthKey;
extern NSString* const AVLinearPCMIsFloatKey;
extern NSString* const AVLinearPCMIsBigEndianKey;
extern NSString* const AVAudioFileTypeKey;
extern NSString* const AVEncoderBitRateKey;
extern NSString* const AVEncoderBitDepthHintKey;
#ifdef __cplusplus
}
#endif

#pragma clang assume_nonnull end
