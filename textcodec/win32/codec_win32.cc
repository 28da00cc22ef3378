// Platform converter on top of MultiByteToWideChar / WideCharToMultiByte with
// code page 936, going through UTF-16 in stack buffers.
//
// Windows' code page 936 table maps more than glibc's CP936: the byte 0x80
// to U+20AC, the byte 0xFF to U+F8F5, and the user-defined areas
// (AAA1-AFFE, F8A1-FEFE, A140-A7A0) and a few unassigned cells to the
// Private Use Area. The driver keeps 0x80 and U+20AC away from this file, and
// any Private Use code point here counts as "no mapping", in both
// directions, so those inputs give '?' exactly as on Linux. For every other
// GB2312/GBK character the two tables agree; a cell that some Windows version
// maps differently outside the Private Use Area would convert differently.
//
// Stateless; safe to call from any number of threads at once.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>

#include "codec_common.h"

namespace textcodec {
namespace internal {

namespace {

constexpr UINT kCodePage = 936;

// UTF-16 units converted per call. Each input byte yields at most one unit
// in either direction (the driver passes no UTF-8 above U+FFFF), so longer
// inputs are declined and the driver falls back to runs of kMaxRunBytes.
constexpr size_t kMaxUnits = 1024;
static_assert(kMaxRunBytes + 2 <= kMaxUnits, "driver runs must fit");

bool IsPrivateUseOrSurrogate(unsigned u) {
  return u >= 0xD800 && u <= 0xF8FF;
}

// All or nothing: either every character of the run converts and fits, or
// nothing is written and {0, 0} tells the driver to go character by
// character.
RunResult GbToUtf8(const char* src, size_t len, char* dst, size_t cap) {
  if (len > kMaxUnits) return {0, 0};
  wchar_t units[kMaxUnits];
  const int n =
      MultiByteToWideChar(kCodePage, MB_ERR_INVALID_CHARS, src,
                          static_cast<int>(len), units, static_cast<int>(kMaxUnits));
  if (n <= 0) return {0, 0};
  size_t need = 0;
  for (int i = 0; i < n; ++i) {
    const unsigned u = units[i];
    if (IsPrivateUseOrSurrogate(u)) return {0, 0};
    need += u < 0x80 ? 1 : u < 0x800 ? 2 : 3;
  }
  if (need > cap) return {0, 0};
  char* out = dst;
  for (int i = 0; i < n; ++i) out += EncodeUtf8(units[i], out);
  return {len, need};
}

RunResult Utf8ToGb(const char* src, size_t len, char* dst, size_t cap) {
  if (len > kMaxUnits) return {0, 0};
  const unsigned char* p = reinterpret_cast<const unsigned char*>(src);
  wchar_t units[kMaxUnits];
  size_t n = 0;
  for (size_t i = 0; i < len; ++n) {
    const Utf8Char c = DecodeUtf8(p + i, len - i);
    if (!c.valid || c.cp > 0xFFFF || IsPrivateUseOrSurrogate(c.cp)) {
      return {0, 0};
    }
    units[n] = static_cast<wchar_t>(c.cp);
    i += c.size;
  }
  char bytes[2 * kMaxUnits];
  BOOL used_default = FALSE;
  const int m = WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, units,
                                    static_cast<int>(n), bytes,
                                    static_cast<int>(sizeof bytes), nullptr,
                                    &used_default);
  if (m <= 0 || used_default) return {0, 0};
  if (static_cast<size_t>(m) > cap) return {0, 0};
  std::memcpy(dst, bytes, static_cast<size_t>(m));
  return {len, static_cast<size_t>(m)};
}

}  // namespace

RunResult ConvertRun(Direction dir, const char* src, size_t len, char* dst,
                     size_t cap) {
  if (len == 0) return {0, 0};
  return dir == Direction::kGbToUtf8 ? GbToUtf8(src, len, dst, cap)
                                     : Utf8ToGb(src, len, dst, cap);
}

}  // namespace internal
}  // namespace textcodec
