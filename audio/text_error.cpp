#include "audio/text_error.h"

namespace pt {

std::string statusMessage(const char* message, int status) {
  return std::string(message) + "：" + std::to_string(status);
}

}  // namespace pt
