// UTF-8 of one code point, for the table generator and the codec's
// differential tests (not for the codec itself, which never builds strings).
#ifndef MSGLOGIC_TEXTCODEC_TOOLS_UTF8_ENCODE_H_
#define MSGLOGIC_TEXTCODEC_TOOLS_UTF8_ENCODE_H_

#include <cstdint>
#include <string>

namespace textcodec {
namespace tools {

// The UTF-8 bytes of `cp` (at most U+10FFFF; surrogates are encoded as they
// come, which is what a test of malformed input wants).
inline std::string Utf8(uint32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

}  // namespace tools
}  // namespace textcodec

#endif  // MSGLOGIC_TEXTCODEC_TOOLS_UTF8_ENCODE_H_
