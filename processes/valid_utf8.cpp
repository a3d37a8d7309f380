#include "processes/valid_utf8.h"

#include <unicode/unistr.h>

namespace pt {

std::string toValidUtf8(std::string_view bytes) {
  std::string out;
  icu::UnicodeString::fromUTF8(icu::StringPiece(bytes.data(), std::int32_t(bytes.size())))
      .toUTF8String(out);
  return out;
}

}  // namespace pt
