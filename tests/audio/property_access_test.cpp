#include "audio/property_access.h"

#include <gtest/gtest.h>

#include "tests/support/simulated_platform.h"

namespace pt {
namespace {

TEST(PropertyAccessSmoke, ReadsAValue) {
  sim::SimulatedPlatform p;
  sim::PlatformScope scope(p);
  p.setValue(AudioObjectID(7), kAudioProcessPropertyPID, std::int32_t(812));
  EXPECT_EQ(AudioObjectID(7).read<std::int32_t>(kAudioProcessPropertyPID, -1), 812);
}

}  // namespace
}  // namespace pt
