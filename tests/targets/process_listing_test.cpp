#include "targets/process_listing.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <memory>

#include "audio/text_error.h"
#include "process_builders.h"

namespace pt {
namespace {

using testing::process;
using namespace std::string_literals;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string written(const std::vector<AudioProcessInfo>& processes) {
  File file(std::tmpfile());
  writeListing(file.get(), processes);
  std::rewind(file.get());
  std::string text;
  char buffer[256];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, file.get())) text.append(buffer, n);
  return text;
}

TEST(ListingTest, SortedByComposedNameWithTextsAsStored) {
  const std::vector<AudioProcessInfo> inventory = {
      process(9, "beta", "org.beta"),
      process(5, "e\u0301cole", "", false),  // composed it sorts after f; printed as stored
      process(7, "Radio", "first"),
      process(4, "f", "com.f"),
      process(3, "Alpha", "com.alpha"),
      process(8, "Radio", "second", false),
      process(6, "Zulu", "com.zulu"),
  };
  EXPECT_EQ(written(inventory),
            "pid=3 active=true name=Alpha bundle=com.alpha\n"
            "pid=7 active=true name=Radio bundle=first\n"
            "pid=8 active=false name=Radio bundle=second\n"
            "pid=6 active=true name=Zulu bundle=com.zulu\n"
            "pid=9 active=true name=beta bundle=org.beta\n"
            "pid=4 active=true name=f bundle=com.f\n"
            "pid=5 active=false name=e\u0301cole bundle=\n");
  EXPECT_EQ(written({}), "");
  EXPECT_EQ(written({process(2, "a\0b"s, "x")}), "pid=2 active=true name=a\0b bundle=x\n"s);
}

TEST(ListingTest, FailedWriteIsAnErrorNotSilence) {
  const std::vector<AudioProcessInfo> inventory = {process(1, "Music", "com.apple.Music")};

  File full(std::fopen("/dev/full", "w"));
  ASSERT_TRUE(full);
  try {
    writeListing(full.get(), inventory);
    ADD_FAILURE() << "a full disk was reported as success";
  } catch (const TextError& error) {
    EXPECT_EQ(error.text(), std::string("写入音频进程列表失败：") + std::strerror(ENOSPC));
  }

  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  auto previous = std::signal(SIGPIPE, SIG_IGN);
  {
    File pipe(fdopen(ends[1], "w"));
    try {
      writeListing(pipe.get(), inventory);
      ADD_FAILURE() << "a closed pipe was reported as success";
    } catch (const TextError& error) {
      EXPECT_EQ(error.text(), std::string("写入音频进程列表失败：") + std::strerror(EPIPE));
    }
  }
  std::signal(SIGPIPE, previous);
}

}  // namespace
}  // namespace pt
