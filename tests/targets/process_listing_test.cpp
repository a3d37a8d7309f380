#include "targets/process_listing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "process_builders.h"

namespace pt {
namespace {

using testing::process;
using namespace std::string_literals;

std::string written(const std::vector<AudioProcessInfo>& processes) {
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* file = open_memstream(&data, &size);
  writeListing(file, processes);
  std::fclose(file);
  std::string text(data, size);
  std::free(data);
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

}  // namespace
}  // namespace pt
