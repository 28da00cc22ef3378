// The table codec against Windows' own code page 936 (MultiByteToWideChar /
// WideCharToMultiByte): every single byte, every lead byte with every second
// byte, and every Unicode scalar value, one character at a time. The
// differences are those of Microsoft's table and iconv's, which the tables
// come from; the test lists each of them (kKnownDifferences, also listed in
// doc/textcodec.md) and fails when one appears that is not listed or a
// listed one is gone.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "textcodec.h"
#include "tools/utf8_encode.h"

namespace {

constexpr UINT kCodePage = 936;
constexpr uint32_t kNone = 0xFFFFFFFF;        // no character
constexpr uint32_t kNotAPair = 0xFFFFFFFE;    // the codec: a lead byte alone

// What Windows and the codec make of one input, in the differences' words.
std::string Name(uint32_t v, bool code_point) {
  if (v == kNone) return "none";
  if (v == kNotAPair) return "not a pair";
  char text[16];
  std::snprintf(text, sizeof text, code_point ? "U+%04X" : "0x%02X", static_cast<unsigned>(v));
  return text;
}

// A run of inputs first..last (consecutive) where both sides step along,
// each either constant or one up per input.
struct Run {
  uint32_t first, last;
  uint32_t win_first, win_last;
  uint32_t codec_first, codec_last;
};

// Groups the differing inputs into runs and prints them, one a line.
class Differences {
 public:
  explicit Differences(const char* direction) : direction_(direction) {}

  void Add(uint32_t input, uint32_t win, uint32_t codec) {
    if (!runs_.empty()) {
      Run& r = runs_.back();
      auto steps = [&](uint32_t first, uint32_t last, uint32_t next) {
        const bool both_values = first < kNotAPair && next < kNotAPair;
        return (first == last && next == last) ||
               (both_values && next == last + 1 && last - first == input - 1 - r.first);
      };
      if (input == r.last + 1 && steps(r.win_first, r.win_last, win) &&
          steps(r.codec_first, r.codec_last, codec)) {
        r.last = input;
        r.win_last = win;
        r.codec_last = codec;
        return;
      }
    }
    runs_.push_back({input, input, win, win, codec, codec});
  }

  std::vector<std::string> Lines(bool input_is_code_point) const {
    std::vector<std::string> lines;
    auto range = [](uint32_t first, uint32_t last, bool cp) {
      std::string s = Name(first, cp);
      if (last != first) s += "-" + Name(last, cp).substr(2);
      return s;
    };
    for (const Run& r : runs_) {
      lines.push_back(std::string(direction_) + " " + range(r.first, r.last, input_is_code_point) +
                      ": Windows " + range(r.win_first, r.win_last, !input_is_code_point) +
                      ", codec " + range(r.codec_first, r.codec_last, !input_is_code_point));
    }
    return lines;
  }

 private:
  const char* direction_;
  std::vector<Run> runs_;
};

// Decoding one or two bytes: the code point, kNone, or for the codec
// kNotAPair when the first byte stands alone.
uint32_t WindowsDecode(const std::string& in) {
  wchar_t units[4];
  const int n = MultiByteToWideChar(kCodePage, MB_ERR_INVALID_CHARS, in.data(),
                                    static_cast<int>(in.size()), units, 4);
  if (n == 1) return static_cast<uint16_t>(units[0]);
  if (n <= 0) return kNone;
  return kNotAPair;  // more than one character
}

uint32_t CodePointOf(const std::string& u8) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(u8.data());
  if (u8.size() == 1) return p[0];
  if (u8.size() == 2 && p[0] >= 0xC0 && p[0] < 0xE0) return (p[0] & 0x1Fu) << 6 | (p[1] & 0x3Fu);
  if (u8.size() == 3 && (p[0] & 0xF0) == 0xE0) {
    return (p[0] & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
  }
  return kNotAPair;
}

uint32_t CodecDecode(const std::string& in) {
  char out[8];
  const std::string u8(out, GB2312ToUTF_8N(out, sizeof out, in.data(), in.size()));
  if (u8 == "?" && in != "?") return kNone;
  return CodePointOf(u8);
}

// Encoding one scalar value: the GBK bytes as a number (lead << 8 | trail),
// or kNone.
uint32_t WindowsEncode(uint32_t cp) {
  wchar_t units[2];
  int n = 1;
  if (cp < 0x10000) {
    units[0] = static_cast<wchar_t>(cp);
  } else {
    units[0] = static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10));
    units[1] = static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    n = 2;
  }
  char bytes[8];
  BOOL used_default = FALSE;
  const int m = WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, units, n, bytes,
                                    sizeof bytes, nullptr, &used_default);
  if (m <= 0 || used_default) return kNone;
  uint32_t v = 0;
  for (int i = 0; i < m; ++i) v = v << 8 | static_cast<unsigned char>(bytes[i]);
  return v;
}

using textcodec::tools::Utf8;

uint32_t CodecEncode(uint32_t cp) {
  const std::string u8 = Utf8(cp);
  char out[8];
  const std::string gb(out, UTF_8ToGB2312N(out, sizeof out, u8.data(), u8.size()));
  if (gb == "?" && cp != '?') return kNone;
  uint32_t v = 0;
  for (unsigned char c : gb) v = v << 8 | c;
  return v;
}

// Every difference, as the lines below print it. Keep the list of
// doc/textcodec.md in step.
const char* const kKnownDifferences[] = {
#include "known_differences.inc"
};

void ExpectKnown(const std::vector<std::string>& found, const char* direction) {
  std::vector<std::string> known;
  for (const char* line : kKnownDifferences) {
    if (std::string(line).rfind(direction, 0) == 0) known.push_back(line);
  }
  std::string listing;
  for (const std::string& line : found) listing += "    \"" + line + "\",\n";
  EXPECT_EQ(found, known) << "the differences now found:\n" << listing;
}

TEST(TablesMatchWindows, DecodingEveryByteAndPair) {
  Differences diff("decode");
  for (uint32_t b = 0; b < 0x100; ++b) {
    const std::string in(1, static_cast<char>(b));
    const uint32_t win = WindowsDecode(in);
    const uint32_t codec = CodecDecode(in);
    if (win != codec) diff.Add(b, win, codec);
  }
  for (uint32_t lead = 0x81; lead <= 0xFE; ++lead) {
    for (uint32_t second = 0; second < 0x100; ++second) {
      const std::string in = {static_cast<char>(lead), static_cast<char>(second)};
      uint32_t win = WindowsDecode(in);
      uint32_t codec = CodecDecode(in);
      // A lead byte that does not pair: Windows rejects the two bytes, the
      // codec writes '?' for the lead byte and goes on.
      if (codec == kNotAPair) codec = kNone;
      if (win != codec) diff.Add(lead << 8 | second, win, codec);
    }
  }
  ExpectKnown(diff.Lines(false), "decode");
}

TEST(TablesMatchWindows, EncodingEveryScalarValue) {
  Differences diff("encode");
  for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const uint32_t win = WindowsEncode(cp);
    const uint32_t codec = CodecEncode(cp);
    if (win != codec) diff.Add(cp, win, codec);
  }
  ExpectKnown(diff.Lines(true), "encode");
}

}  // namespace
