#include "iconv_reference.h"

#include <climits>
#include <cstring>

namespace textcodec {
namespace reference {

namespace {

bool IsGbTrail(unsigned t) {
  return (t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFE);
}

enum class Route { kAscii, kWhole, kByChar };

constexpr uint64_t kOnes = 0x0101010101010101u;
constexpr uint64_t kHighs = 0x8080808080808080u;

// Whether any of the eight bytes of v is zero.
bool HasZeroByte(uint64_t v) { return ((v - kOnes) & ~v & kHighs) != 0; }

// Calls visit(w) on 64-bit words that together cover the n bytes at p, and
// stops early when visit returns false. A byte may be seen twice and padding
// bytes read as zero, which suits "is there a byte such that" questions.
template <typename Visit>
void ForEachWord(const unsigned char* p, size_t n, Visit visit) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (!visit(w)) return;
  }
  if (i == n) return;
  uint64_t w = 0;
  if (n >= 8) {
    std::memcpy(&w, p + n - 8, 8);
  } else if (n >= 4) {
    uint32_t head, tail;
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, p + n - 4, 4);
    w = head | static_cast<uint64_t>(tail) << 32;
  } else {
    for (size_t k = 0; k < n; ++k) w |= static_cast<uint64_t>(p[k]) << (8 * k);
  }
  visit(w);
}

bool ContainsEncodedEuro(const unsigned char* p, size_t n) {
  for (size_t i = 0; i + 3 <= n; ++i) {
    if (p[i] == 0xE2 && p[i + 1] == 0x82 && p[i + 2] == 0xAC) return true;
  }
  return false;
}

// Picks how to convert the whole input. ASCII is copied as is. Otherwise the
// platform converter gets the whole input in one call, unless the input holds
// something it would convert differently from our rules: a 0x80 byte in GBK
// (possibly a standalone euro sign; it may also be a harmless trail byte),
// and in UTF-8 an encoded U+20AC or any four-byte sequence (glibc silently
// drops U+E0000..U+E007F instead of failing on them). Works eight bytes at a
// time: this runs on every call, and names are short.
Route ChooseRoute(Direction dir, const unsigned char* p, size_t n) {
  bool ascii = true;
  bool by_char = false;
  bool maybe_euro = false;
  if (dir == Direction::kGbToUtf8) {
    ForEachWord(p, n, [&](uint64_t w) {
      if ((w & kHighs) == 0) return true;
      ascii = false;
      by_char = HasZeroByte(w ^ kHighs);  // a 0x80 byte
      return !by_char;
    });
  } else {
    constexpr uint64_t kF0s = 0xF0F0F0F0F0F0F0F0u;
    constexpr uint64_t kE2s = 0xE2E2E2E2E2E2E2E2u;
    ForEachWord(p, n, [&](uint64_t w) {
      if ((w & kHighs) == 0) return true;
      ascii = false;
      by_char = HasZeroByte((w & kF0s) ^ kF0s);  // a byte F0..FF
      maybe_euro = maybe_euro || HasZeroByte(w ^ kE2s);
      return !by_char;
    });
  }
  if (by_char || (maybe_euro && ContainsEncodedEuro(p, n))) return Route::kByChar;
  return ascii ? Route::kAscii : Route::kWhole;
}

CharSpan NextChar(Direction dir, const unsigned char* p, size_t n) {
  return dir == Direction::kGbToUtf8 ? NextGbChar(p, n) : NextUtf8Char(p, n);
}

// Converts src[pos, len) character by character, appending to dst[out, cap).
// Runs of convertible characters go to the platform converter in one call;
// wherever it stops, the character there is converted on its own, becomes
// '?' or, when its output does not fit, ends the conversion. Kept out of line
// so that the common case in Convert stays small.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
size_t ConvertByChar(Direction dir, const char* src, size_t len, size_t pos,
                     char* dst, size_t cap, size_t out) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(src);
  while (pos < len && out < cap) {
    size_t end = pos;
    CharSpan bad = {0, true};
    while (end < len && end - pos < kMaxRunBytes) {
      const CharSpan c = NextChar(dir, s + end, len - end);
      if (!c.ok) {
        bad = c;
        break;
      }
      end += c.size;
    }

    while (pos < end) {
      const RunResult r =
          ConvertRun(dir, src + pos, end - pos, dst + out, cap - out);
      pos += r.consumed;
      out += r.written;
      if (pos == end) break;
      const size_t size = NextChar(dir, s + pos, end - pos).size;
      char one[8];
      RunResult single;
      if (s[pos] < 0x80) {  // ASCII is the same in both encodings
        one[0] = src[pos];
        single = {1, 1};
      } else {
        single = ConvertRun(dir, src + pos, size, one, sizeof one);
      }
      if (single.consumed == size) {
        if (single.written > cap - out) return out;
        std::memcpy(dst + out, one, single.written);
        out += single.written;
      } else {
        if (out == cap) return out;
        dst[out++] = '?';
      }
      pos += size;
    }

    if (!bad.ok) {
      if (out == cap) return out;
      dst[out++] = '?';
      pos += bad.size;
    }
  }
  return out;
}

}  // namespace

CharSpan NextGbChar(const unsigned char* p, size_t n) {
  const unsigned b = p[0];
  if (b < 0x80) return {1, true};
  if (b == 0x80 || b == 0xFF) return {1, false};
  if (n >= 2 && IsGbTrail(p[1])) return {2, true};
  return {1, false};
}

Utf8Char DecodeUtf8(const unsigned char* p, size_t n) {
  const unsigned b = p[0];
  if (b < 0x80) return {1, b, true};
  size_t trail;
  uint32_t cp;
  // Allowed range of the first continuation byte; later ones are 80..BF.
  unsigned lo = 0x80;
  unsigned hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    trail = 1;
    cp = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    trail = 2;
    cp = b & 0x0F;
    if (b == 0xE0) lo = 0xA0;  // overlong below U+0800
    if (b == 0xED) hi = 0x9F;  // surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    trail = 3;
    cp = b & 0x07;
    if (b == 0xF0) lo = 0x90;  // overlong below U+10000
    if (b == 0xF4) hi = 0x8F;  // beyond U+10FFFF
  } else {
    return {1, 0, false};  // continuation byte, C0, C1, F5..FF
  }
  for (size_t i = 1; i <= trail; ++i) {
    if (i >= n || p[i] < lo || p[i] > hi) return {i, 0, false};
    cp = (cp << 6) | (p[i] & 0x3Fu);
    lo = 0x80;
    hi = 0xBF;
  }
  return {trail + 1, cp, true};
}

CharSpan NextUtf8Char(const unsigned char* p, size_t n) {
  const Utf8Char c = DecodeUtf8(p, n);
  return {c.size, c.valid && c.cp <= 0xFFFF && c.cp != 0x20AC};
}

size_t EncodeUtf8(uint32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

size_t Convert(Direction dir, char* dst, size_t cap, const char* src,
               size_t len) {
  if (len == 0 || cap == 0) return 0;
  size_t pos = 0;
  size_t out = 0;
  switch (ChooseRoute(dir, reinterpret_cast<const unsigned char*>(src), len)) {
    case Route::kAscii:
      out = len < cap ? len : cap;
      std::memcpy(dst, src, out);
      return out;
    case Route::kWhole: {
      const RunResult r = ConvertRun(dir, src, len, dst, cap);
      if (r.consumed == len) return r.written;
      pos = r.consumed;
      out = r.written;
      break;
    }
    case Route::kByChar:
      break;
  }
  return ConvertByChar(dir, src, len, pos, dst, cap, out);
}

int GB2312ToUTF_8(char* dst, const char* src, int len) {
  if (len <= 0) return 0;
  const size_t n = static_cast<size_t>(len);
  const size_t cap = n <= INT_MAX / 2 ? 2 * n : static_cast<size_t>(INT_MAX);
  return static_cast<int>(Convert(Direction::kGbToUtf8, dst, cap, src, n));
}

int UTF_8ToGB2312(char* dst, const char* src, int len) {
  if (len <= 0) return 0;
  const size_t n = static_cast<size_t>(len);
  return static_cast<int>(Convert(Direction::kUtf8ToGb, dst, n, src, n));
}

size_t GB2312ToUTF_8N(char* dst, size_t cap, const char* src, size_t len) {
  return Convert(Direction::kGbToUtf8, dst, cap, src, len);
}

size_t UTF_8ToGB2312N(char* dst, size_t cap, const char* src, size_t len) {
  return Convert(Direction::kUtf8ToGb, dst, cap, src, len);
}

}  // namespace reference
}  // namespace textcodec
