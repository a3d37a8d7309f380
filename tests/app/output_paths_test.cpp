#include "app/output_paths.h"

#include <gtest/gtest.h>

namespace pt {
namespace {

AudioProcessInfo named(std::int32_t pid, std::string name) {
  return {pid, AudioObjectID(std::uint32_t(pid)), std::move(name), "", true};
}

// A name becomes part of one file name in its folder, and no two targets share a file.
TEST(OutputPaths, EachTargetGetsAFileOfItsOwnInTheFolderAsked) {
  using namespace std::string_literals;
  EXPECT_EQ(fileNames({named(1, "Zoom"), named(2, "A/B"), named(3, "zoom"), named(4, ""),
                       named(5, "nul\0x"s), named(6, "A_B"), named(7, "Caf\u00E9"),
                       named(8, "CAFE\u0301")}),
            (std::vector<std::string>{"Zoom-1", "A_B-2", "zoom-3", "4", "nul_x", "A_B-6",
                                      "Caf\u00E9-7", "CAFE\u0301-8"}));
  EXPECT_EQ(pathFor("/r/{name}/call-{name}.flac", "Zoom"), "/r/Zoom/call-Zoom.flac");

  // The microphone's file is named by its device, and gives way to a process of its name.
  const InputDevice mic{70, "Zoom", "MicUID", {1}, true};
  KeywordTargets targets{{named(1, "Zoom"), named(2, "Slack")}, {}, mic};
  std::vector<TrackSource> tracks = trackSources("/r/call-{name}.wav", targets);
  ASSERT_EQ(tracks.size(), 3u);
  EXPECT_EQ(tracks[1].path, "/r/call-Slack.wav");
  EXPECT_EQ(tracks[1].targets.front().pid, 2);
  EXPECT_EQ(tracks[2].path, "/r/call-Zoom-input.wav");
  EXPECT_TRUE(tracks[2].targets.empty() && tracks[2].input && !tracks[1].input);
  tracks = trackSources("/r/call.wav", targets);
  ASSERT_EQ(tracks.size(), 1u);
  EXPECT_EQ(tracks[0].targets.size(), 2u);
  EXPECT_TRUE(tracks[0].input);
}

}  // namespace
}  // namespace pt
