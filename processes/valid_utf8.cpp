#include "processes/valid_utf8.h"

#include <unicode/unistr.h>

namespace pt {

std::string toValidUtf8(std::string_view bytes) {
  if (isAscii(bytes)) return std::string(bytes);
  std::string out;
  icu::UnicodeString::fromUTF8(icu::StringPiece(bytes.data(), std::int32_t(bytes.size())))
      .toUTF8String(out);
  return out;
}

bool isAscii(std::string_view bytes) {
  for (const char c : bytes)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

}  // namespace pt
