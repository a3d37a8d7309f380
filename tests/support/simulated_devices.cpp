// Taps, aggregate devices, IO and files of the simulated platform.
#include "tests/support/simulated_platform.h"

namespace pt::sim {

OSStatus SimulatedPlatform::createProcessTap(const CATapDescription&, AudioObjectID&) {
  log("createProcessTap");
  return kAudioHardwareIllegalOperationError;
}
OSStatus SimulatedPlatform::destroyProcessTap(AudioObjectID tapID) noexcept {
  log("destroyProcessTap " + std::to_string(std::uint32_t(tapID)));
  return kAudioHardwareBadObjectError;
}
OSStatus SimulatedPlatform::createAggregateDevice(const Value&, AudioObjectID&) {
  log("createAggregateDevice");
  return kAudioHardwareIllegalOperationError;
}
OSStatus SimulatedPlatform::destroyAggregateDevice(AudioObjectID deviceID) noexcept {
  log("destroyAggregateDevice " + std::to_string(std::uint32_t(deviceID)));
  return kAudioHardwareBadObjectError;
}
std::shared_ptr<DispatchQueue> SimulatedPlatform::makeSerialQueue(const std::string&) {
  return nullptr;
}
OSStatus SimulatedPlatform::createIOProcIDWithBlock(AudioDeviceIOProcID&, AudioObjectID,
                                                    std::shared_ptr<DispatchQueue>,
                                                    AudioDeviceIOBlock) {
  return kAudioHardwareIllegalOperationError;
}
OSStatus SimulatedPlatform::deviceStart(AudioObjectID, AudioDeviceIOProcID) {
  return kAudioHardwareIllegalOperationError;
}
OSStatus SimulatedPlatform::deviceStop(AudioObjectID, AudioDeviceIOProcID) noexcept {
  return kAudioHardwareIllegalOperationError;
}
OSStatus SimulatedPlatform::destroyIOProcID(AudioObjectID, AudioDeviceIOProcID) noexcept {
  return kAudioHardwareIllegalOperationError;
}
std::shared_ptr<const AudioFormat> SimulatedPlatform::makeAudioFormat(
    const AudioStreamBasicDescription&) {
  return nullptr;
}
std::shared_ptr<AudioFile> SimulatedPlatform::openAudioFileForWriting(const std::string&,
                                                                      const AudioFileSettings&,
                                                                      AVAudioCommonFormat, bool) {
  return nullptr;
}
std::optional<PCMBuffer> SimulatedPlatform::makePCMBufferNoCopy(const AudioFormat&,
                                                                const AudioBufferList*) noexcept {
  return std::nullopt;
}
void SimulatedPlatform::sleepForTimeInterval(double seconds, const std::atomic<bool>&) {
  log("sleepForTimeInterval " + std::to_string(seconds));
}

}  // namespace pt::sim
