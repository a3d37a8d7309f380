#include <memory>
#include <string_view>
#include <vector>

#include "app/entry.h"
#include "audio/platform.h"

int main(int argc, char** argv) {
  std::unique_ptr<pt::Platform> platform = pt::makeNativePlatform();
  pt::installPlatform(platform.get());
  const std::vector<std::string_view> arguments(argv + 1, argv + argc);
  const int status = pt::runProcessTap(arguments);
  pt::installPlatform(nullptr);
  return status;
}
