// The table codec against the iconv codec it replaces (iconv_reference.h):
// the same bytes out for every one- and two-byte input, every Unicode scalar
// value and a large sample of longer inputs, malformed ones included, in both
// directions, unbounded and bounded.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "iconv_reference.h"
#include "textcodec.h"
#include "tools/utf8_encode.h"

namespace {

namespace ref = textcodec::reference;

enum Way { kToUtf8, kToGb };

std::string Table(Way way, const std::string& in, size_t cap) {
  std::string out(cap, '\0');
  out.resize(way == kToUtf8 ? GB2312ToUTF_8N(&out[0], cap, in.data(), in.size())
                            : UTF_8ToGB2312N(&out[0], cap, in.data(), in.size()));
  return out;
}

std::string Reference(Way way, const std::string& in, size_t cap) {
  std::string out(cap, '\0');
  out.resize(way == kToUtf8 ? ref::GB2312ToUTF_8N(&out[0], cap, in.data(), in.size())
                            : ref::UTF_8ToGB2312N(&out[0], cap, in.data(), in.size()));
  return out;
}

// The room the classic functions give: the bound of their contract.
size_t Room(Way way, const std::string& in) { return way == kToUtf8 ? 2 * in.size() : in.size(); }

std::string Escaped(const std::string& s) {
  std::string e;
  for (unsigned char c : s) {
    static const char kHex[] = "0123456789ABCDEF";
    e += "\\x";
    e += kHex[c >> 4];
    e += kHex[c & 15];
  }
  return e;
}

// Compares the two codecs on one input, unbounded and with every cap up to
// the full output (or the given caps); counts mismatches and reports the
// first few.
class Comparer {
 public:
  void Check(Way way, const std::string& in, bool every_cap = false) {
    const std::string want = Reference(way, in, Room(way, in));
    Same(way, in, Room(way, in), want, Table(way, in, Room(way, in)));
    // The classic functions, on the same input.
    std::string classic(Room(way, in) + 1, '\0');
    const int n = way == kToUtf8
                      ? GB2312ToUTF_8(&classic[0], in.data(), static_cast<int>(in.size()))
                      : UTF_8ToGB2312(&classic[0], in.data(), static_cast<int>(in.size()));
    classic.resize(static_cast<size_t>(n));
    Same(way, in, Room(way, in), want, classic);
    if (every_cap) {
      for (size_t cap = 0; cap < want.size(); ++cap) {
        Same(way, in, cap, Reference(way, in, cap), Table(way, in, cap));
      }
    }
  }

  void CheckCap(Way way, const std::string& in, size_t cap) {
    Same(way, in, cap, Reference(way, in, cap), Table(way, in, cap));
  }

  ~Comparer() { EXPECT_EQ(mismatches_, 0u) << "inputs that convert differently"; }

 private:
  void Same(Way way, const std::string& in, size_t cap, const std::string& want,
            const std::string& got) {
    if (want == got) return;
    if (++mismatches_ <= 10) {
      ADD_FAILURE() << (way == kToUtf8 ? "to UTF-8" : "to GBK") << " of \"" << Escaped(in)
                    << "\" cap " << cap << ": iconv \"" << Escaped(want) << "\", tables \""
                    << Escaped(got) << "\"";
    }
  }

  size_t mismatches_ = 0;
};

using textcodec::tools::Utf8;

TEST(TablesMatchIconv, EveryOneAndTwoByteInputBothWays) {
  Comparer c;
  for (Way way : {kToUtf8, kToGb}) {
    for (int a = 0; a < 256; ++a) {
      c.Check(way, std::string(1, static_cast<char>(a)), true);
      for (int b = 0; b < 256; ++b) {
        c.Check(way, {static_cast<char>(a), static_cast<char>(b)}, true);
      }
    }
  }
}

// Each two-byte character inside text, and every character of a lead byte
// in one run: iconv converts such runs in one call.
TEST(TablesMatchIconv, EveryTwoByteCharacterInText) {
  Comparer c;
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    std::string run;
    for (int trail = 0x40; trail <= 0xFF; ++trail) {
      const std::string pair = {static_cast<char>(lead), static_cast<char>(trail)};
      c.Check(kToUtf8, "a" + pair + "\xD6\xD0" "bc");
      run += pair;
    }
    c.Check(kToUtf8, run);
    c.Check(kToGb, Table(kToUtf8, run, 2 * run.size()));  // and back
  }
}

TEST(TablesMatchIconv, EveryScalarValue) {
  Comparer c;
  std::string run;
  for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const std::string u8 = Utf8(cp);
    c.Check(kToGb, u8, cp >= 0x80 && cp < 0x10000 && cp % 97 == 0);
    c.Check(kToGb, "ab" + u8 + "\xE4\xB8\xAD" "c");
    run += u8;
    if (run.size() > 600) {
      c.Check(kToGb, run);
      run.clear();
    }
    // What the codec writes for it converts back as iconv would.
    const std::string gb = Table(kToGb, u8, u8.size());
    if (gb.size() == 2) c.Check(kToUtf8, gb);
  }
  c.Check(kToGb, run);
}

// Malformed UTF-8 of three bytes: every lead byte 0x80-0xFF with every
// second byte and third bytes from each class.
TEST(TablesMatchIconv, ThreeByteUtf8WithEveryLeadAndSecondByte) {
  const unsigned char kThird[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F,
                                  0xA0, 0xBF, 0xC0, 0xE4, 0xF0, 0xFF};
  Comparer c;
  for (int a = 0x80; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      for (unsigned char t : kThird) {
        c.Check(kToGb, {static_cast<char>(a), static_cast<char>(b), static_cast<char>(t)});
      }
    }
  }
}

// Random texts mixing what either side may see: ASCII runs (long enough
// for eight-byte steps), GB2312 and GBK characters, UTF-8 of every length,
// and broken pieces of both; converted both ways with random caps.
std::string RandomText(std::mt19937& rng) {
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  std::string s;
  const uint32_t pieces = pick(40);
  for (uint32_t k = 0; k < pieces; ++k) {
    switch (pick(9)) {
      case 0:
        s += std::string(pick(20), static_cast<char>('a' + pick(26)));
        break;
      case 1:  // GB2312 region
        s += static_cast<char>(0xB0 + pick(0x48));
        s += static_cast<char>(0xA1 + pick(0x5E));
        break;
      case 2:  // any lead with any second byte
        s += static_cast<char>(0x81 + pick(0x7E));
        s += static_cast<char>(pick(256));
        break;
      case 3:
        s += Utf8(0x4E00 + pick(0x51A6));
        break;
      case 4: {
        uint32_t cp = pick(0x110000);
        if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0x20AC;
        s += Utf8(cp);
        break;
      }
      case 5: {  // a character cut short
        const std::string u8 = Utf8(0x80 + pick(0x10FF80));
        s += u8.substr(0, 1 + pick(static_cast<uint32_t>(u8.size())));
        break;
      }
      case 6:
        s += static_cast<char>(pick(256));
        break;
      case 7:
        s += pick(2) ? "\x80" : "\xE2\x82\xAC";
        break;
      default:
        s += Utf8(0x80 + pick(0x780));
        break;
    }
  }
  return s;
}

TEST(TablesMatchIconv, RandomTextsBothWays) {
  std::mt19937 rng(20240611);
  Comparer c;
  for (int i = 0; i < 30000; ++i) {
    const std::string text = RandomText(rng);
    for (Way way : {kToUtf8, kToGb}) {
      c.Check(way, text);
      c.CheckCap(way, text, rng() % (Room(way, text) + 2));
    }
  }
}

}  // namespace
