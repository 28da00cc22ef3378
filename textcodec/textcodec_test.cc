#include "textcodec.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// 中文 (GB2312), 镕喆 (U+9555 U+5586, GBK only), é (U+00E9).
const std::string kZhongWenGb = "\xD6\xD0\xCE\xC4";
const std::string kZhongWenU8 = "\xE4\xB8\xAD\xE6\x96\x87";
const std::string kRongZheGb = "\xE9\x46\x86\xB4";
const std::string kRongZheU8 = "\xE9\x95\x95\xE5\x96\x86";
const std::string kEAcuteGb = "\xA8\xA6";
const std::string kEAcuteU8 = "\xC3\xA9";
const std::string kEmojiU8 = "\xF0\x9F\x98\x80";

using Classic = int (*)(char*, const char*, int);
using Bounded = size_t (*)(char*, size_t, const char*, size_t);

// Runs the classic function on exactly sized heap blocks, so that ASan sees
// any access past the input or past growth * input size of output, and checks
// the bounded variant agrees.
std::string Run(Classic classic, Bounded bounded, size_t growth, const std::string& in) {
  std::unique_ptr<char[]> src(new char[in.size()]);
  in.copy(src.get(), in.size());
  std::unique_ptr<char[]> dst(new char[growth * in.size()]);
  const int n = classic(dst.get(), src.get(), static_cast<int>(in.size()));
  EXPECT_LE(static_cast<size_t>(n), growth * in.size());
  std::string out(dst.get(), static_cast<size_t>(n));
  std::string big(growth * in.size() + 8, '\0');
  big.resize(bounded(&big[0], big.size(), in.data(), in.size()));
  EXPECT_EQ(out, big);
  return out;
}
std::string ToUtf8(const std::string& gb) { return Run(GB2312ToUTF_8, GB2312ToUTF_8N, 2, gb); }
std::string ToGb(const std::string& u8) { return Run(UTF_8ToGB2312, UTF_8ToGB2312N, 1, u8); }

using Cases = std::vector<std::pair<std::string, std::string>>;

TEST(TextCodec, RoundTripsGb2312AndGbkText) {
  const std::string gb = "Name: " + kZhongWenGb + kRongZheGb + kEAcuteGb + " 1";
  const std::string u8 = "Name: " + kZhongWenU8 + kRongZheU8 + kEAcuteU8 + " 1";
  EXPECT_EQ(ToUtf8(gb), u8);
  EXPECT_EQ(ToGb(u8), gb);
  EXPECT_EQ(ToUtf8(std::string("a\0b\0", 4) + kZhongWenGb),
            std::string("a\0b\0", 4) + kZhongWenU8);
  EXPECT_EQ(ToGb(kZhongWenU8 + std::string("\0\0x", 3)),
            kZhongWenGb + std::string("\0\0x", 3));
}

TEST(TextCodec, GbkInputThatCannotBeDecodedBecomesQuestionMarks) {
  const Cases cases = {
      {"\x81 ", "? "},                      // bad trail: resume at next byte
      {"\xD6\x7F" "a", "?\x7F" "a"},       // 0x7F is not a trail byte
      {"\xD6\xFF", "??"},
      {"\xFF", "?"},
      {"\x80", "?"},                        // euro sign on Windows/glibc
      {"a\x80" "b", "a?b"},
      {"\xD6\xD0\xCE", "\xE4\xB8\xAD?"},    // truncated final character
      {"\xAA\xA1", "?"},                    // user-defined area
      {"\x81\x80", "\xE4\xBA\x90"},         // 0x80 as a trail byte is fine
  };
  for (const auto& c : cases) EXPECT_EQ(ToUtf8(c.first), c.second) << c.first;
}

TEST(TextCodec, Utf8WithoutGbkFormBecomesQuestionMarks) {
  const Cases cases = {
      {"a" + kEmojiU8 + "b", "a?b"},
      {"\xF3\xA0\x80\x81", "?"},            // language tag U+E0001
      {"\xE2\x82\xAC", "?"},                // euro sign
      {"\xEF\xBB\xBF" "a", "?a"},           // byte order mark
      {"\xEE\x80\x80", "?"},                // private use
      {"\xC0\x80", "??"},                   // overlong
      {"\xE0\x80\x80", "???"},
      {"\xED\xA0\x80", "???"},              // surrogate
      {"\xF4\x90\x80\x80", "????"},         // beyond U+10FFFF
      {"\xF5\x80", "??"},
      {"\x80\xBF", "??"},
      {"\xE4\xB8", "?"},                    // truncated: one maximal subpart
      {"\xE4\xB8" "A", "?A"},
      {"\xF0\x9F\x98" + kZhongWenU8, "?" + kZhongWenGb},
  };
  for (const auto& c : cases) EXPECT_EQ(ToGb(c.first), c.second) << c.first;
}

// The euro sign and four-byte UTF-8 (glibc drops U+E0001 silently) must be
// noticed at any position, whatever the input length.
TEST(TextCodec, EuroAndFourByteSequencesAreFoundAnywhere) {
  for (size_t len = 1; len <= 20; ++len) {
    for (size_t at = 0; at < len; ++at) {
      const std::string head(at, 'a');
      const std::string tail(len - at - 1, 'b');
      const std::string expected = head + "?" + tail;
      EXPECT_EQ(ToUtf8(head + "\x80" + tail), expected);
      EXPECT_EQ(ToGb(head + "\xE2\x82\xAC" + tail), expected);
      EXPECT_EQ(ToGb(head + "\xF3\xA0\x80\x81" + tail), expected);
    }
  }
}

TEST(TextCodec, NonPositiveLengthWritesNothing) {
  char buf[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(GB2312ToUTF_8(buf, "ab", 0), 0);
  EXPECT_EQ(UTF_8ToGB2312(buf, "ab", -1), 0);
  EXPECT_EQ(GB2312ToUTF_8N(nullptr, 0, "ab", 2), 0u);
  EXPECT_EQ(std::string(buf, 4), "xxxx");
}

// Character boundaries of converter output: UTF-8 (any valid UTF-8) or the
// GBK this library writes (ASCII, '?' and two-byte characters).
std::vector<size_t> Boundaries(const std::string& s, bool utf8) {
  std::vector<size_t> b;
  for (size_t i = 0; i < s.size();) {
    b.push_back(i);
    const unsigned char c = static_cast<unsigned char>(s[i]);
    do ++i; while (utf8 && i < s.size() && (s[i] & 0xC0) == 0x80);
    if (!utf8 && c >= 0x81) ++i;
  }
  b.push_back(s.size());
  return b;
}

TEST(TextCodec, BoundedVariantsCutOnCharacterBoundaries) {
  const std::string u8 = "a" + kZhongWenU8 + kEAcuteU8 + kEmojiU8 + "\xE4\xB8" "b" +
                         kRongZheU8 + "\xC0" + "z";
  const std::string gb = "a" + kZhongWenGb + "\x81 \x80" + kRongZheGb + "\xFF" + kEAcuteGb;
  const std::string gb_clean = "a" + kZhongWenGb + kRongZheGb + "b" + kEAcuteGb;
  const std::string u8_clean = "a" + kZhongWenU8 + kRongZheU8 + "b" + kEAcuteU8;
  const std::string ascii = "plain";
  for (const auto& [src, to_utf8] :
       {std::make_pair(gb, true), std::make_pair(u8, false), std::make_pair(gb_clean, true),
        std::make_pair(u8_clean, false), std::make_pair(ascii, true),
        std::make_pair(ascii, false)}) {
    const std::string full = to_utf8 ? ToUtf8(src) : ToGb(src);
    const std::vector<size_t> bounds = Boundaries(full, to_utf8);
    for (size_t cap = 0; cap <= full.size() + 1; ++cap) {
      std::string buf(full.size() + 2, '\x5A');
      const Bounded convert = to_utf8 ? GB2312ToUTF_8N : UTF_8ToGB2312N;
      const size_t n = convert(&buf[0], cap, src.data(), src.size());
      size_t expected = 0;
      for (size_t b : bounds) if (b <= cap) expected = b;
      ASSERT_EQ(n, expected) << "cap " << cap << " to_utf8 " << to_utf8;
      EXPECT_EQ(buf.substr(0, n), full.substr(0, n));
      EXPECT_EQ(buf.substr(n), std::string(buf.size() - n, '\x5A'));
    }
  }
}

TEST(TextCodec, LongInputsWithScatteredErrors) {
  std::string gb, u8_from_gb, u8, gb_from_u8;
  for (int i = 0; i < 400; ++i) {
    gb += kZhongWenGb + "a\xFF\x81\x80";
    u8_from_gb += kZhongWenU8 + "a?\xE4\xBA\x90";
    u8 += kRongZheU8 + kEmojiU8 + "\xC3";
    gb_from_u8 += kRongZheGb + "??";
  }
  EXPECT_EQ(ToUtf8(gb), u8_from_gb);
  EXPECT_EQ(ToGb(u8), gb_from_u8);
}

// The variant that stops at a NUL gives, for every room, what the bounded
// variant gives for the bytes before the first NUL: NULs at every position
// of an ASCII run (read eight bytes at a time), right after a character and
// inside one, and inputs with no NUL at all. The input is an exactly sized
// heap block, so ASan sees a read past it.
TEST(TextCodec, UntilNulEndsTheInputAtItsFirstNul) {
  const std::vector<std::string> pieces = {"a", "0123456789abcdef", kZhongWenU8, kEAcuteU8,
                                           kEmojiU8, "\xE4\xB8", "\xF0\x9F", "\x80",
                                           "\xFF", std::string(1, '\0')};
  std::mt19937 rng(936);
  for (int round = 0; round < 3000; ++round) {
    std::string in;
    const size_t length = rng() % 80;
    while (in.size() < length) in += pieces[rng() % pieces.size()];
    if (round % 3 == 0) in.insert(rng() % (in.size() + 1), 1, '\0');
    const std::string before = in.substr(0, in.find('\0'));
    std::unique_ptr<char[]> src(new char[in.size()]);
    in.copy(src.get(), in.size());
    for (size_t cap : {size_t{0}, size_t{1}, size_t{7}, size_t{31}, in.size(), in.size() + 8}) {
      std::string want(cap, '\x5A');
      want.resize(UTF_8ToGB2312N(cap != 0 ? &want[0] : nullptr, cap, before.data(),
                                 before.size()));
      std::string got(cap, '\x5A');
      got.resize(UTF_8ToGB2312NUntilNul(cap != 0 ? &got[0] : nullptr, cap, src.get(),
                                        in.size()));
      ASSERT_EQ(got, want) << "round " << round << ", room " << cap;
    }
  }
}

// For each input: output bounds hold (checked inside ToUtf8/ToGb), and every
// character the library produces converts back to itself.
void CheckBoundsAndStability(const std::string& in) {
  const std::string u8 = ToUtf8(in);
  ASSERT_EQ(ToUtf8(ToGb(u8)), u8) << "input size " << in.size();
  const std::string gb = ToGb(in);
  ASSERT_EQ(ToGb(ToUtf8(gb)), gb) << "input size " << in.size();
}

TEST(TextCodec, OutputBoundsAndStabilityForShortInputs) {
  for (int a = 0; a < 256; ++a) {
    CheckBoundsAndStability(std::string(1, static_cast<char>(a)));
    for (int b = 0; b < 256; ++b) {
      CheckBoundsAndStability({static_cast<char>(a), static_cast<char>(b)});
    }
  }
  const unsigned char kBytes[] = {0x00, 0x20, 0x40, 0x7F, 0x80, 0x81, 0x8F,
                                  0x9F, 0xA0, 0xA1, 0xAC, 0xBF, 0xC2, 0xD6,
                                  0xE0, 0xE2, 0xED, 0xF0, 0xF4, 0xFE, 0xFF};
  for (unsigned char a : kBytes)
    for (unsigned char b : kBytes)
      for (unsigned char c : kBytes) {
        const std::string three = {static_cast<char>(a), static_cast<char>(b),
                                   static_cast<char>(c)};
        CheckBoundsAndStability(three);
        for (unsigned char d : kBytes) CheckBoundsAndStability(three + static_cast<char>(d));
      }
}

TEST(TextCodec, ConcurrentUseGivesSameResults) {
  const std::vector<std::string> inputs = {
      kZhongWenGb + "abc", kRongZheGb + "\x80\xFF", kZhongWenU8 + kEmojiU8,
      kRongZheU8 + "\xE4\xB8", "plain ascii"};
  std::vector<std::string> to_utf8, to_gb;
  for (const std::string& in : inputs) {
    to_utf8.push_back(ToUtf8(in));
    to_gb.push_back(ToGb(in));
  }
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      char buf[64];
      for (int i = 0; i < 2000; ++i) {
        const size_t k = static_cast<size_t>(i + t) % inputs.size();
        const std::string& in = inputs[k];
        size_t n = GB2312ToUTF_8N(buf, sizeof buf, in.data(), in.size());
        if (std::string(buf, n) != to_utf8[k]) ++mismatches;
        n = UTF_8ToGB2312N(buf, sizeof buf, in.data(), in.size());
        if (std::string(buf, n) != to_gb[k]) ++mismatches;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
