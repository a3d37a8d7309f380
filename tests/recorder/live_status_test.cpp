#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "recorder/live_status.h"

namespace pt {
namespace {

// Interleaved lists are met at a terminal (tests/app); here the planar form and the clip mark.
TEST(LevelMeter, TakesEachChannelsPeakOnceAndKeepsTheClipMark) {
  std::vector<float> left{0.5f, -1.0f}, right{0.125f, 0.0f};
  std::vector<std::byte> storage(audioBufferListSize(2));
  auto* list = reinterpret_cast<AudioBufferList*>(storage.data());
  *list = {2, {{1, 2 * sizeof(float), left.data()}}};
  list->mBuffers[1] = {1, 2 * sizeof(float), right.data()};
  LevelMeter meter;
  meter.measure(*list);
  EXPECT_EQ(meter.take(0).peak, 0.0f) << "measures nothing until enabled";
  meter.enable();
  meter.measure(*list);
  const LevelMeter::Reading l = meter.take(0), r = meter.take(1);
  EXPECT_TRUE(l.peak == 1.0f && l.clipped);
  EXPECT_TRUE(r.peak == 0.125f && !r.clipped);
  const LevelMeter::Reading next = meter.take(0);
  EXPECT_TRUE(next.peak == 0.0f && next.clipped) << "a take starts the next period; a clip stays";
}

TEST(StatusLine, ShowsTimeLevelsAndSizeWithinTheTerminalsWidth) {
  const LevelMeter::Reading quiet{0.25f, false}, clipped{1.0f, true}, silent{};
  struct Case {
    StatusView view;
    std::size_t columns;
    std::string expected;
    // clang-format off
  } cases[] = {
      {{3.25, 10, {quiet, clipped}, 1234567}, 200,
       "0:03.2 / 0:10.0  L [################....] -12.0 dBFS  R [####################]   0.0 dBFS CLIP  1.2 MB"},
      {{3725, INFINITY, {silent}, std::nullopt}, 80, "1:02:05.0  1 [....................]  -inf dBFS"},
      // Narrower terminals get shorter bars, then none, then a cut line.
      {{0, 8, {quiet, quiet}, 999}, 80, "0:00.0 / 0:08.0  L [########..] -12.0 dBFS  R [########..] -12.0 dBFS  999 B"},
      {{0, 8, {quiet, quiet}, 999}, 51, "0:00.0 / 0:08.0  L -12.0 dBFS  R -12.0 dBFS  999 B"},
      {{0, 8, {quiet, quiet}, 999}, 20, "0:00.0 / 0:08.0  L "},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(statusLine(c.view, c.columns, false), c.expected);
  }
}

}  // namespace
}  // namespace pt
