// GBK <-> UTF-8 by table lookup (cp936_tables.cc), the same code on every
// system: no converter, no per-thread state, nothing initialised at run
// time. ASCII, which both encodings share, is copied eight bytes at a time.
//
// Each direction is one loop over the input, built twice: unchecked, when
// the destination can hold the longest output the input can give (2 x len
// to UTF-8, len to GBK), and checked, which stops before the first
// character that does not fit.

#include <climits>
#include <cstdint>
#include <cstring>

#include "cp936_tables.h"
#include "textcodec.h"

namespace textcodec {
namespace internal {
namespace {

constexpr uint64_t kHighs = 0x8080808080808080u;

// Number of bytes before the first one with its high bit set, in a word
// loaded from memory (byte 0 first) that has one.
inline size_t AsciiPrefix(uint64_t high_bits) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return static_cast<size_t>(__builtin_clzll(high_bits)) >> 3;
#else
  return static_cast<size_t>(__builtin_ctzll(high_bits)) >> 3;
#endif
}

// The high bit of each zero byte of `w`, and nothing else (no carry crosses
// a byte, so it is exact in either byte order).
inline uint64_t ZeroBytes(uint64_t w) {
  constexpr uint64_t kLows = 0x7F7F7F7F7F7F7F7Fu;
  return ~(((w & kLows) + kLows) | w | kLows);
}

// Copies the ASCII run at s[i] (s[i] < 0x80) to dst[o], up to the first
// non-ASCII byte, the end of the input or, when checked, the end of the
// destination; with kToNul also up to the first NUL.
template <bool kChecked, bool kToNul>
inline void CopyAscii(char* dst, size_t cap, const unsigned char* s, size_t len, size_t& i,
                      size_t& o) {
  for (;;) {
    if (len - i >= 8 && (!kChecked || cap - o >= 8)) {
      uint64_t w;
      std::memcpy(&w, s + i, 8);
      uint64_t high = w & kHighs;
      if (kToNul) high |= ZeroBytes(w);
      if (high == 0) {
        std::memcpy(dst + o, &w, 8);
        i += 8;
        o += 8;
        if (i == len) return;
        continue;
      }
      const size_t n = AsciiPrefix(high);
      for (size_t k = 0; k < n; ++k) dst[o + k] = static_cast<char>(s[i + k]);
      i += n;
      o += n;
      return;
    }
    // Fewer than eight bytes left, of input or of room.
    while (i < len && s[i] < 0x80 && (!kToNul || s[i] != 0)) {
      if (kChecked && o == cap) return;
      dst[o++] = static_cast<char>(s[i++]);
    }
    return;
  }
}

template <bool kChecked>
size_t GbToUtf8(char* dst, size_t cap, const unsigned char* s, size_t len) {
  size_t i = 0;
  size_t o = 0;
  while (i < len) {
    const unsigned b = s[i];
    if (b < 0x80) {
      CopyAscii<kChecked, false>(dst, cap, s, len, i, o);
      if (kChecked && o == cap) break;
      continue;
    }
    // A run of two-byte characters of three UTF-8 bytes each (every Chinese
    // character), checked for room once: `room` of them fit.
    for (size_t room = kChecked ? (cap - o) / 3 : SIZE_MAX; room != 0 && len - i >= 2; --room) {
      const unsigned lead = s[i];
      const unsigned second = s[i + 1];
      if (lead - kGbLeadFirst > kGbLeadLast - kGbLeadFirst || second < kGbColumnFirst) break;
      const uint32_t cp = kGbToUnicode[GbPairIndex(lead, second)];
      if (cp < 0x800 || cp == kGbNotATrail) break;  // also kGbNoMapping
      dst[o] = static_cast<char>(0xE0 | (cp >> 12));
      dst[o + 1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      dst[o + 2] = static_cast<char>(0x80 | (cp & 0x3F));
      o += 3;
      i += 2;
    }
    if (i == len || s[i] < 0x80) continue;
    // Any other byte 0x80 or above, one character at a time. A lead byte
    // followed by a byte 0x40-0xFF: the table tells whether it is a trail
    // byte and, if so, the pair's code point. Bytes 0x80 and 0xFF start no
    // character (0x80 is the euro sign of Microsoft's table only).
    const unsigned lead = s[i];
    uint32_t cp = kGbNoMapping;
    size_t used = 1;
    if (lead != 0x80 && lead != 0xFF && len - i >= 2 && s[i + 1] >= kGbColumnFirst) {
      const uint16_t e = kGbToUnicode[GbPairIndex(lead, s[i + 1])];
      if (e != kGbNotATrail) {
        cp = e;
        used = 2;
      }
    }
    if (cp == kGbNoMapping) {
      if (kChecked && o == cap) break;
      dst[o++] = '?';
    } else if (cp < 0x800) {
      if (kChecked && cap - o < 2) break;
      dst[o] = static_cast<char>(0xC0 | (cp >> 6));
      dst[o + 1] = static_cast<char>(0x80 | (cp & 0x3F));
      o += 2;
    } else {
      if (kChecked && cap - o < 3) break;
      dst[o] = static_cast<char>(0xE0 | (cp >> 12));
      dst[o + 1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      dst[o + 2] = static_cast<char>(0x80 | (cp & 0x3F));
      o += 3;
    }
    i += used;
  }
  return o;
}

// The GBK form of a code point U+0080-U+FFFF, 0 when it has none.
inline unsigned GbOf(uint32_t cp) { return kUnicodeToGb[kUnicodePages[cp >> 8] + (cp & 0xFF)]; }

// Length of the maximal ill-formed subpart at the front of a UTF-8 input
// (n >= 1) that does not start with a well-formed character, or 0 when it
// does start with one, whose code point is then stored in *cp.
inline size_t Utf8Invalid(const unsigned char* p, size_t n, uint32_t* cp) {
  const unsigned b = p[0];
  size_t trail;
  uint32_t c;
  // Allowed range of the first continuation byte; later ones are 80..BF.
  unsigned lo = 0x80;
  unsigned hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    trail = 1;
    c = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    trail = 2;
    c = b & 0x0F;
    if (b == 0xE0) lo = 0xA0;  // overlong below U+0800
    if (b == 0xED) hi = 0x9F;  // surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    trail = 3;
    c = b & 0x07;
    if (b == 0xF0) lo = 0x90;  // overlong below U+10000
    if (b == 0xF4) hi = 0x8F;  // beyond U+10FFFF
  } else {
    return 1;  // continuation byte, C0, C1, F5..FF
  }
  for (size_t k = 1; k <= trail; ++k) {
    if (k >= n || p[k] < lo || p[k] > hi) return k;
    c = (c << 6) | (p[k] & 0x3Fu);
    lo = 0x80;
    hi = 0xBF;
  }
  *cp = c;
  return 0;
}

// With kToNul the input ends at its first NUL. A NUL is never part of
// another character (nor of an ill-formed subpart), so it is met here or in
// CopyAscii, and what comes before it converts as if the input ended there.
template <bool kChecked, bool kToNul>
size_t Utf8ToGb(char* dst, size_t cap, const unsigned char* s, size_t len) {
  size_t i = 0;
  size_t o = 0;
  while (i < len) {
    const unsigned b = s[i];
    if (b < 0x80) {
      if (kToNul && b == 0) break;
      CopyAscii<kChecked, kToNul>(dst, cap, s, len, i, o);
      if (kChecked && o == cap) break;
      continue;
    }
    // A run of three-byte characters (every Chinese character) that have a
    // GBK form, checked for room once: `room` of them fit.
    for (size_t room = kChecked ? (cap - o) / 2 : SIZE_MAX; room != 0 && len - i >= 3; --room) {
      const unsigned b0 = s[i];
      const unsigned b1 = s[i + 1];
      const unsigned b2 = s[i + 2];
      if ((b0 & 0xF0) != 0xE0 || ((b1 ^ 0x80) | (b2 ^ 0x80)) >= 0x40) break;
      const uint32_t cp = (b0 & 0x0Fu) << 12 | (b1 & 0x3Fu) << 6 | (b2 & 0x3Fu);
      if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) break;  // overlong, surrogate
      const unsigned gb = GbOf(cp);
      if (gb == 0) break;
      dst[o] = static_cast<char>(gb >> 8);
      dst[o + 1] = static_cast<char>(gb & 0xFF);
      o += 2;
      i += 3;
    }
    if (i == len || s[i] < 0x80) continue;
    // Any other sequence, one character at a time.
    unsigned gb = 0;
    uint32_t cp = 0;
    size_t used = Utf8Invalid(s + i, len - i, &cp);
    if (used == 0) {
      used = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
      if (cp < 0x10000) gb = GbOf(cp);  // beyond U+FFFF: never in GBK
    }
    if (gb == 0) {
      if (kChecked && o == cap) break;
      dst[o++] = '?';
    } else {
      if (kChecked && cap - o < 2) break;
      dst[o] = static_cast<char>(gb >> 8);
      dst[o + 1] = static_cast<char>(gb & 0xFF);
      o += 2;
    }
    i += used;
  }
  return o;
}

size_t GbToUtf8N(char* dst, size_t cap, const char* src, size_t len) {
  if (len == 0 || cap == 0) return 0;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(src);
  // Each input byte gives at most two output bytes.
  if (len <= SIZE_MAX / 2 && cap >= 2 * len) return GbToUtf8<false>(dst, cap, s, len);
  return GbToUtf8<true>(dst, cap, s, len);
}

template <bool kToNul>
size_t Utf8ToGbN(char* dst, size_t cap, const char* src, size_t len) {
  if (len == 0 || cap == 0) return 0;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(src);
  // No character grows: two or three bytes of UTF-8 become two of GBK, and a
  // '?' replaces at least one byte.
  if (cap >= len) return Utf8ToGb<false, kToNul>(dst, cap, s, len);
  return Utf8ToGb<true, kToNul>(dst, cap, s, len);
}

}  // namespace
}  // namespace internal
}  // namespace textcodec

int GB2312ToUTF_8(char* dst, const char* src, int len) {
  if (len <= 0) return 0;
  const size_t n = static_cast<size_t>(len);
  const size_t cap = n <= INT_MAX / 2 ? 2 * n : static_cast<size_t>(INT_MAX);
  return static_cast<int>(textcodec::internal::GbToUtf8N(dst, cap, src, n));
}

int UTF_8ToGB2312(char* dst, const char* src, int len) {
  if (len <= 0) return 0;
  const size_t n = static_cast<size_t>(len);
  return static_cast<int>(textcodec::internal::Utf8ToGbN<false>(dst, n, src, n));
}

size_t GB2312ToUTF_8N(char* dst, size_t cap, const char* src, size_t len) {
  return textcodec::internal::GbToUtf8N(dst, cap, src, len);
}

size_t UTF_8ToGB2312N(char* dst, size_t cap, const char* src, size_t len) {
  return textcodec::internal::Utf8ToGbN<false>(dst, cap, src, len);
}

size_t UTF_8ToGB2312NUntilNul(char* dst, size_t cap, const char* src, size_t len) {
  return textcodec::internal::Utf8ToGbN<true>(dst, cap, src, len);
}
