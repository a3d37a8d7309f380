#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "recorder/live_status.h"

namespace pt {
namespace {

TEST(LevelMeter, TakesEachChannelsPeakOnceAndKeepsTheClipMark) {
  LevelMeter meter;
  std::vector<float> interleaved{0.1f, -0.5f, -0.25f, 0.2f};  // L R L R
  AudioBufferList list{
      1, {{2, std::uint32_t(interleaved.size() * sizeof(float)), interleaved.data()}}};
  meter.measure(list);
  EXPECT_EQ(meter.take(0).peak, 0.0f) << "measures nothing until enabled";

  meter.enable();
  meter.measure(list);
  EXPECT_EQ(meter.take(0).peak, 0.25f);
  EXPECT_EQ(meter.take(1).peak, 0.5f);
  EXPECT_EQ(meter.take(1).peak, 0.0f) << "a take starts the next period";

  // Non-interleaved: one buffer per channel.
  std::vector<float> left{0.5f, -1.0f}, right{0.125f, 0.0f};
  std::vector<std::byte> storage(audioBufferListSize(2));
  auto* planar = reinterpret_cast<AudioBufferList*>(storage.data());
  planar->mNumberBuffers = 2;
  planar->mBuffers[0] = {1, 2 * sizeof(float), left.data()};
  planar->mBuffers[1] = {1, 2 * sizeof(float), right.data()};
  meter.measure(*planar);
  const LevelMeter::Reading l = meter.take(0), r = meter.take(1);
  EXPECT_EQ(l.peak, 1.0f);
  EXPECT_TRUE(l.clipped);
  EXPECT_EQ(r.peak, 0.125f);
  EXPECT_FALSE(r.clipped);
  EXPECT_TRUE(meter.take(0).clipped) << "the clip mark stays for the run";
}

TEST(StatusLine, ShowsTimeLevelsAndSizeWithinTheTerminalsWidth) {
  const LevelMeter::Reading quiet{0.25f, false}, clipped{1.0f, true}, silent{};
  struct Case {
    StatusView view;
    std::size_t columns;
    std::string expected;
  } cases[] = {
      {{3.25, 10, {quiet, clipped}, 1234567},
       200,
       "0:03.2 / 0:10.0  L [################....] -12.0 dBFS"
       "  R [####################]   0.0 dBFS CLIP  1.2 MB"},
      {{3725, INFINITY, {silent}, std::nullopt},
       80,
       "1:02:05.0  1 [....................]  -inf dBFS"},
      // Narrower terminals get shorter bars, then none, then a cut line.
      {{0, 8, {quiet, quiet}, 999},
       80,
       "0:00.0 / 0:08.0  L [########..] -12.0 dBFS  R [########..] -12.0 dBFS  999 B"},
      {{0, 8, {quiet, quiet}, 999}, 51, "0:00.0 / 0:08.0  L -12.0 dBFS  R -12.0 dBFS  999 B"},
      {{0, 8, {quiet, quiet}, 999}, 20, "0:00.0 / 0:08.0  L "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(statusLine(c.view, c.columns, false), c.expected);
  }
}

TEST(StatusLine, ColoursOnlyWhenAskedAndWithoutTakingColumns) {
  const StatusView view{1, 2, {{0.9f, true}}, 10};
  const std::string plain = statusLine(view, 100, false);
  const std::string coloured = statusLine(view, 100, true);
  EXPECT_EQ(plain.find('\x1b'), std::string::npos);
  EXPECT_NE(coloured.find("\x1b[32m#"), std::string::npos);
  std::string visible;
  for (std::size_t i = 0; i < coloured.size(); ++i) {
    if (coloured[i] == '\x1b')
      i = coloured.find('m', i);
    else
      visible += coloured[i];
  }
  EXPECT_EQ(visible, plain);
}

}  // namespace
}  // namespace pt
