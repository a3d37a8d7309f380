#pragma once

#include <string>
#include <string_view>

namespace pt {

// `bytes` as well-formed UTF-8: every ill-formed sequence becomes U+FFFD.
std::string toValidUtf8(std::string_view bytes);

// Every byte below 0x80: valid UTF-8 that needs no Unicode data to compare or case-map.
bool isAscii(std::string_view bytes);

}  // namespace pt
