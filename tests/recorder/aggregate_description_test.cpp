#include "recorder/aggregate_description.h"

#include <gtest/gtest.h>

#include <functional>

#include "recorder/process_tap_recorder.h"

namespace pt {
namespace {

const AudioProcessInfo music{812, 70, "Music", "com.apple.Music", true};
const AudioProcessInfo safari{913, 71, "Safari", "com.apple.Safari", true};
const AudioProcessInfo global{0, 0, "全局系统音频", "global.system.audio", true};

// Every text in the tree, depth first.
void collectTexts(const Value& v, std::vector<std::string>& out) {
  if (v.isText()) out.push_back(v.text());
  if (v.isList())
    for (const Value& e : v.list()) collectTexts(e, out);
  if (v.isDictionary())
    for (const auto& [k, e] : v.dictionary()) collectTexts(e, out);
}

TEST(AggregateDescription, HoldsExactlyTheEightEntriesOfAPrivateDeviceAroundTheTap) {
  const Value d = aggregateDeviceDescription({music, safari}, "DEVICE-UUID", "BuiltIn", "TAP-UUID");
  ASSERT_TRUE(d.isDictionary());
  std::vector<std::string> keys;
  for (const auto& [k, v] : d.dictionary()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"name", "uid", "master", "private", "stacked",
                                            "tapautostart", "subdevices", "taps"}));
  EXPECT_EQ(d.find("name")->text(), "brindlex-process-tap-Music+Safari");
  EXPECT_EQ(d.find("uid")->text(), "DEVICE-UUID");
  EXPECT_EQ(d.find("master")->text(), "BuiltIn");
  EXPECT_TRUE(d.find("private")->boolean());
  EXPECT_FALSE(d.find("stacked")->boolean());
  EXPECT_TRUE(d.find("tapautostart")->boolean());
  EXPECT_EQ(*d.find("subdevices"), Value(Value::List{Value::Dictionary{{"uid", "BuiltIn"}}}));
  EXPECT_EQ(*d.find("taps"),
            Value(Value::List{Value::Dictionary{{"drift", true}, {"uid", "TAP-UUID"}}}));

  std::vector<std::string> texts;
  collectTexts(d, texts);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "TAP-UUID"), 1);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "BuiltIn"), 2);
}

TEST(AggregateDescription, NameJoinsEveryTargetAsItIs) {
  EXPECT_EQ(aggregateDeviceName({global}), "brindlex-process-tap-全局系统音频");
  EXPECT_EQ(aggregateDeviceName({music, global}), "brindlex-process-tap-Music+全局系统音频");
  EXPECT_EQ(aggregateDeviceName({}), "brindlex-process-tap-");
  AudioProcessInfo odd{5, 9, "a+b c/d", "", true};
  EXPECT_EQ(aggregateDeviceName({odd}), "brindlex-process-tap-a+b c/d");
}

TEST(SummaryLine, ListsTargetsInOrderAndTruncatesTheRate) {
  EXPECT_EQ(summaryLine("/tmp/brindlex-process-tap-demo.caf", {music}, 2, 1024, 48000.0, 2),
            "wrote=/tmp/brindlex-process-tap-demo.caf targets=Music(pid=812) buffers=2 "
            "frames=1024 sampleRate=48000 channels=2");
  EXPECT_EQ(summaryLine("/a.caf", {music, safari}, 0, 0, 44100.9, 1),
            "wrote=/a.caf targets=Music(pid=812),Safari(pid=913) buffers=0 frames=0 "
            "sampleRate=44100 channels=1");
  EXPECT_EQ(summaryLine("/a.caf", {global}, 1, 5, 44100.0, 2),
            "wrote=/a.caf targets=全局系统音频(pid=0) buffers=1 frames=5 sampleRate=44100 "
            "channels=2");
}

}  // namespace
}  // namespace pt
