// The codec as it was before the tables, kept for the tests alone as the
// reference the tables are compared with: a driver that applies the rules
// of textcodec.h around glibc's iconv ("CP936" <-> "UTF-8"), which converts
// every run of characters the rules leave to it, with per-thread
// descriptors. Built into no library that ships.

#ifndef TEXTCODEC_POSIX_ICONV_REFERENCE_H_
#define TEXTCODEC_POSIX_ICONV_REFERENCE_H_

#include <cstddef>
#include <cstdint>

namespace textcodec {
namespace reference {

enum class Direction { kGbToUtf8, kUtf8ToGb };

// Progress of one converter call: input bytes consumed, output bytes written.
struct RunResult {
  size_t consumed;
  size_t written;
};

// The converter the driver drives (iconv_reference_run.cc).
//
// Converts whole characters from the front of [src, src + len) into
// [dst, dst + cap). It stops at the end of the input, before a character it
// cannot convert (malformed, truncated or without a mapping), before a
// character whose output would not fit, or earlier at any character boundary
// if it so chooses. It writes nothing beyond the characters it reports and
// never more than cap bytes. The driver never hands it a standalone 0x80
// byte or an encoded U+20AC, and in UTF-8 input no character above U+FFFF.
//
// Called on the caller's thread, possibly from many threads at once.
RunResult ConvertRun(Direction dir, const char* src, size_t len, char* dst,
                     size_t cap);

// One character at the front of some input.
//   ok:   the character is well-formed and may have a mapping; size is its
//         length in bytes.
//   !ok:  the next `size` bytes are replaced by a single '?'.
struct CharSpan {
  size_t size;
  bool ok;
};

// Segments GBK. Requires n >= 1.
CharSpan NextGbChar(const unsigned char* p, size_t n);

// Segments UTF-8. Well-formed characters code page 936 cannot hold in this
// library (above U+FFFF, and U+20AC) come back as !ok. Requires n >= 1.
CharSpan NextUtf8Char(const unsigned char* p, size_t n);

// A decoded UTF-8 sequence. When !valid, size is the length of the maximal
// ill-formed subpart (at least 1) and cp is meaningless.
struct Utf8Char {
  size_t size;
  uint32_t cp;
  bool valid;
};
Utf8Char DecodeUtf8(const unsigned char* p, size_t n);  // requires n >= 1

// Writes cp (a scalar value, not a surrogate) as UTF-8 to out, which must
// have room for 4 bytes. Returns the number of bytes written.
size_t EncodeUtf8(uint32_t cp, char* out);

// The driver's slow path hands ConvertRun runs of at most this many input
// bytes plus one character (so at most kMaxRunBytes + 2 bytes). Only the
// first, whole-input attempt may be longer.
constexpr size_t kMaxRunBytes = 256;

// Converts src to dst following the rules in textcodec.h, writing at most cap
// bytes. Returns the number of bytes written.
size_t Convert(Direction dir, char* dst, size_t cap, const char* src,
               size_t len);

// The four functions of textcodec.h, converting as they used to.
int GB2312ToUTF_8(char* dst, const char* src, int len);
int UTF_8ToGB2312(char* dst, const char* src, int len);
size_t GB2312ToUTF_8N(char* dst, size_t cap, const char* src, size_t len);
size_t UTF_8ToGB2312N(char* dst, size_t cap, const char* src, size_t len);

}  // namespace reference
}  // namespace textcodec

#endif  // TEXTCODEC_POSIX_ICONV_REFERENCE_H_
