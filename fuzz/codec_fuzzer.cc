// Both directions of the code page 936 <-> UTF-8 codec. The unbounded
// conversions stay within 2 x len (to UTF-8) and len (to GBK) bytes; a
// bounded one writes at most its cap, is a prefix of the unbounded result,
// ends on a character boundary of it and stops only where the next
// character would not fit; nothing past the reported bytes is written.
// Where iconv is there (not in the Windows build), both results are the
// ones the iconv codec the tables replaced gives
// (textcodec/posix/iconv_reference.h).
//
// Input: one mode byte (bit 0: 0 GBK -> UTF-8, 1 UTF-8 -> GBK), two bytes of
// cap, then the text.
#include <string>
#include <vector>

#include "fuzz/harness.h"
#include "textcodec.h"
#if defined(MSGLOGIC_CODEC_REFERENCE)
#include "iconv_reference.h"
#endif

namespace fz = msglogic::fuzz;

namespace {

constexpr char kGuard = '\x5A';

// Sizes of the characters of a conversion's output, in order.
std::vector<size_t> Characters(const std::string& out, bool utf8) {
  std::vector<size_t> sizes;
  for (size_t i = 0; i < out.size();) {
    const unsigned char b = static_cast<unsigned char>(out[i]);
    size_t n = 1;
    if (utf8) {
      // The output is well-formed UTF-8 up to U+FFFF.
      FUZZ_CHECK(b < 0x80 || (b >= 0xC2 && b <= 0xEF));
      n = b < 0x80 ? 1 : b < 0xE0 ? 2 : 3;
      FUZZ_CHECK(i + n <= out.size());
      for (size_t k = 1; k < n; ++k) {
        FUZZ_CHECK((static_cast<unsigned char>(out[i + k]) & 0xC0) == 0x80);
      }
    } else if (b >= 0x80) {
      // Well-formed double-byte GBK; never a lone 0x80 or 0xFF.
      FUZZ_CHECK(b >= 0x81 && b <= 0xFE);
      FUZZ_CHECK(i + 1 < out.size());
      const unsigned char trail = static_cast<unsigned char>(out[i + 1]);
      FUZZ_CHECK((trail >= 0x40 && trail <= 0x7E) || (trail >= 0x80 && trail <= 0xFE));
      n = 2;
    }
    sizes.push_back(n);
    i += n;
  }
  return sizes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fz::Input in(data, size);
  const bool to_utf8 = (in.U8() & 1) == 0;
  const size_t cap = in.U16();
  const std::string src = in.Take(in.remaining());
  const size_t len = src.size();
  const size_t bound = to_utf8 ? 2 * len : len;

  // Unbounded, into a buffer with guard bytes after the bound.
  std::string full(bound + 16, kGuard);
  const int written = to_utf8 ? GB2312ToUTF_8(&full[0], src.data(), static_cast<int>(len))
                              : UTF_8ToGB2312(&full[0], src.data(), static_cast<int>(len));
  FUZZ_CHECK(written >= 0 && static_cast<size_t>(written) <= bound);
  for (size_t i = static_cast<size_t>(written); i < full.size(); ++i) FUZZ_CHECK(full[i] == kGuard);
  full.resize(static_cast<size_t>(written));
  FUZZ_CHECK(len == 0 || !full.empty());
  const std::vector<size_t> chars = Characters(full, to_utf8);

#if defined(MSGLOGIC_CODEC_REFERENCE)
  // The iconv codec, unbounded and with the input's cap.
  namespace ref = textcodec::reference;
  std::string want(bound + 8, '\0');
  want.resize(to_utf8 ? ref::GB2312ToUTF_8N(&want[0], bound, src.data(), len)
                      : ref::UTF_8ToGB2312N(&want[0], bound, src.data(), len));
  FUZZ_CHECK_EQ(full, want);
  std::string want_cut(cap + 1, '\0');
  want_cut.resize(to_utf8 ? ref::GB2312ToUTF_8N(&want_cut[0], cap, src.data(), len)
                          : ref::UTF_8ToGB2312N(&want_cut[0], cap, src.data(), len));
#endif

  // Bounded with room to spare: the same bytes.
  std::string roomy(bound + 8, kGuard);
  const size_t same = to_utf8 ? GB2312ToUTF_8N(&roomy[0], bound + 8, src.data(), len)
                              : UTF_8ToGB2312N(&roomy[0], bound + 8, src.data(), len);
  FUZZ_CHECK_EQ(roomy.substr(0, same), full);

  // Bounded by the input's cap.
  std::string cut(cap + 16, kGuard);
  const size_t n = to_utf8 ? GB2312ToUTF_8N(cap != 0 ? &cut[0] : nullptr, cap, src.data(), len)
                           : UTF_8ToGB2312N(cap != 0 ? &cut[0] : nullptr, cap, src.data(), len);
  FUZZ_CHECK(n <= cap);
  for (size_t i = n; i < cut.size(); ++i) FUZZ_CHECK(cut[i] == kGuard);
  FUZZ_CHECK_EQ(cut.substr(0, n), full.substr(0, n));
#if defined(MSGLOGIC_CODEC_REFERENCE)
  FUZZ_CHECK_EQ(cut.substr(0, n), want_cut);
#endif
  size_t boundary = 0;
  size_t next = 0;
  while (boundary < n) boundary += chars[next++];
  FUZZ_CHECK_EQ(boundary, n);  // never half a character
  if (n < full.size()) FUZZ_CHECK(chars[next] > cap - n);  // stopped only for lack of room

  // To UTF-8's NUL-ended variant: the bounded result for the bytes before
  // the first NUL.
  if (!to_utf8) {
    const std::string before = src.substr(0, src.find('\0'));
    std::string want_nul(cap + 16, kGuard);
    want_nul.resize(
        UTF_8ToGB2312N(cap != 0 ? &want_nul[0] : nullptr, cap, before.data(), before.size()));
    std::string nul(cap + 16, kGuard);
    const size_t m = UTF_8ToGB2312NUntilNul(cap != 0 ? &nul[0] : nullptr, cap, src.data(), len);
    for (size_t i = m; i < nul.size(); ++i) FUZZ_CHECK(nul[i] == kGuard);
    FUZZ_CHECK_EQ(nul.substr(0, m), want_nul);
  }
  return 0;
}
