// cp936_tablegen: writes textcodec/cp936_tables.cc, the code page 936 <->
// Unicode tables of the codec, from iconv's "CP936" on the machine it runs
// on (glibc), one character at a time.
//
//   cp936_tablegen FILE          writes the tables to FILE
//   cp936_tablegen --check FILE  exit status 1 when FILE differs from what
//                                would be written (the first differing line
//                                is shown)
//
// What the tables hold (see cp936_tables.h):
//  - two-byte GBK -> Unicode: every lead byte 0x81-0xFE with every trail byte
//    (0x40-0xFE but 0x7F), decoded on its own; a pair iconv does not decode
//    is stored as 0 (no mapping), and the columns 0x7F and 0xFF say "not a
//    trail byte";
//  - Unicode -> two-byte GBK: every code point U+0080-U+FFFF but the
//    surrogates, encoded on its own; only two-byte results are kept, so the
//    one single-byte result iconv has above ASCII (U+20AC -> 0x80, the
//    euro sign) is left out and the codec writes '?' for it.
// ASCII is the same in both encodings and converted by the codec without a
// table; the generator makes sure iconv agrees. Any other answer of iconv
// than the ones described (a pair decoded to more than one character or to
// one above U+FFFF, a code point encoded to a lone non-ASCII byte other than
// the euro sign's) stops the generator, since the codec has no room for it.
#include <errno.h>
#include <iconv.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cp936_tables.h"
#include "tools/utf8_encode.h"

namespace {

namespace t = textcodec::internal;

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "cp936_tablegen: %s\n", what.c_str());
  std::exit(2);
}

std::string Hex(unsigned v, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, v);
  return text;
}

// One iconv conversion of a whole input on a descriptor in its initial
// state. False when iconv does not convert all of it.
bool Convert(iconv_t cd, const std::string& in, std::string* out) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char buffer[16];
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  char* dst = buffer;
  size_t dst_left = sizeof buffer;
  const size_t r = iconv(cd, &src, &src_left, &dst, &dst_left);
  out->assign(buffer, sizeof buffer - dst_left);
  return r != static_cast<size_t>(-1) && src_left == 0;
}

using textcodec::tools::Utf8;

// The code point of a UTF-8 string that holds exactly one character up to
// U+FFFF; 0 otherwise.
uint32_t OneCodePoint(const std::string& s) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
  if (s.size() == 1 && p[0] < 0x80) return p[0];
  if (s.size() == 2 && p[0] >= 0xC2 && p[0] <= 0xDF) return (p[0] & 0x1Fu) << 6 | (p[1] & 0x3Fu);
  if (s.size() == 3 && (p[0] & 0xF0) == 0xE0) {
    return (p[0] & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
  }
  return 0;
}

struct Tables {
  std::vector<uint16_t> gb_to_unicode;           // t::kGbPairs entries
  std::vector<uint16_t> unicode_pages;           // 256 page offsets
  std::vector<uint16_t> unicode_to_gb;           // the pages, 256 entries each
  size_t gb_mapped = 0;
  size_t unicode_mapped = 0;
};

Tables Build() {
  const iconv_t decode = iconv_open("UTF-8", "CP936");
  const iconv_t encode = iconv_open("CP936", "UTF-8");
  if (decode == reinterpret_cast<iconv_t>(-1) || encode == reinterpret_cast<iconv_t>(-1)) {
    Die("iconv has no CP936");
  }
  std::string out;
  for (unsigned b = 0; b < 0x80; ++b) {
    const std::string one(1, static_cast<char>(b));
    if (!Convert(decode, one, &out) || out != one || !Convert(encode, one, &out) || out != one) {
      Die("iconv's CP936 is not ASCII at byte " + Hex(b, 2));
    }
  }

  Tables tables;
  tables.gb_to_unicode.assign(t::kGbPairs, t::kGbNoMapping);
  for (unsigned lead = t::kGbLeadFirst; lead <= t::kGbLeadLast; ++lead) {
    for (unsigned trail = t::kGbColumnFirst; trail <= t::kGbColumnLast; ++trail) {
      uint16_t& cell = tables.gb_to_unicode[t::GbPairIndex(lead, trail)];
      if (trail == 0x7F || trail == 0xFF) {
        cell = t::kGbNotATrail;
        continue;
      }
      const std::string pair = {static_cast<char>(lead), static_cast<char>(trail)};
      if (!Convert(decode, pair, &out)) continue;
      const uint32_t cp = OneCodePoint(out);
      if (cp < 0x80 || cp == t::kGbNotATrail) {
        Die("iconv decodes " + Hex(lead << 8 | trail, 4) + " to something the codec cannot hold");
      }
      cell = static_cast<uint16_t>(cp);
      ++tables.gb_mapped;
    }
  }

  // Two-level: a page of 256 code points each, pages without a mapping all
  // sharing the first page, which stays empty.
  std::vector<uint16_t> flat(0x10000, 0);
  for (uint32_t cp = 0x80; cp <= 0xFFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    if (!Convert(encode, Utf8(cp), &out)) continue;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(out.data());
    if (out.size() == 1 && cp == 0x20AC && p[0] == 0x80) continue;  // the euro sign
    if (out.size() != 2 || p[0] < t::kGbLeadFirst || p[0] > t::kGbLeadLast ||
        p[1] < t::kGbColumnFirst || p[1] == 0x7F || p[1] == 0xFF) {
      Die("iconv encodes U+" + Hex(cp, 4) + " to something the codec cannot write");
    }
    flat[cp] = static_cast<uint16_t>(p[0] << 8 | p[1]);
    ++tables.unicode_mapped;
  }
  tables.unicode_to_gb.assign(256, 0);
  for (unsigned page = 0; page < 256; ++page) {
    const auto first = flat.begin() + static_cast<std::ptrdiff_t>(page * 256);
    bool empty = true;
    for (auto it = first; it != first + 256; ++it) empty = empty && *it == 0;
    if (empty) {
      tables.unicode_pages.push_back(0);
      continue;
    }
    tables.unicode_pages.push_back(static_cast<uint16_t>(tables.unicode_to_gb.size()));
    tables.unicode_to_gb.insert(tables.unicode_to_gb.end(), first, first + 256);
  }
  if (tables.unicode_to_gb.size() > 0x10000) Die("too many pages for 16-bit offsets");
  iconv_close(decode);
  iconv_close(encode);
  return tables;
}

void Array(std::ostream& out, const char* declaration, const std::vector<uint16_t>& values,
           size_t per_line, const char* comment_unit, unsigned comment_base, unsigned comment_step) {
  out << declaration << " = {\n";
  for (size_t i = 0; i < values.size(); i += per_line) {
    out << "   ";
    for (size_t k = i; k < i + per_line && k < values.size(); ++k) out << " 0x" << Hex(values[k], 4) << ",";
    if (comment_unit != nullptr) {
      out << "  // " << comment_unit << Hex(comment_base + static_cast<unsigned>(i / per_line) * comment_step, 4);
    }
    out << "\n";
  }
  out << "};\n";
}

std::string Source(const Tables& tables) {
  std::ostringstream out;
  out << "// Code page 936 <-> Unicode, generated by textcodec/tools/cp936_tablegen.cc\n"
         "// from iconv's CP936; do not edit. To regenerate:\n"
         "//   cmake --build build/default --target textcodec_tables\n"
         "// and the test textcodec_tables_current tells when this copy is not what\n"
         "// the build machine's iconv gives.\n"
         "//\n"
      << "// " << tables.gb_mapped << " two-byte characters decode, " << tables.unicode_mapped
      << " code points encode; " << tables.unicode_to_gb.size() / 256 - 1
      << " pages of 256 code points hold a mapping.\n"
         "\n"
         "#include \"cp936_tables.h\"\n"
         "\n"
         "namespace textcodec {\n"
         "namespace internal {\n"
         "\n";
  // The decode table: one line of 16 trail bytes at a time, commented with
  // the pair that starts it.
  out << "// Indexed by GbPairIndex(lead, trail).\n";
  {
    out << "alignas(64) const uint16_t kGbToUnicode[kGbPairs] = {\n";
    for (unsigned lead = t::kGbLeadFirst; lead <= t::kGbLeadLast; ++lead) {
      for (unsigned trail = t::kGbColumnFirst; trail <= t::kGbColumnLast; trail += 16) {
        out << "   ";
        for (unsigned k = trail; k < trail + 16; ++k) {
          out << " 0x" << Hex(tables.gb_to_unicode[t::GbPairIndex(lead, k)], 4) << ",";
        }
        out << "  // " << Hex(lead << 8 | trail, 4) << "\n";
      }
    }
    out << "};\n\n";
  }
  out << "// Offset in kUnicodeToGb of the page of each 256 code points.\n";
  Array(out, "alignas(64) const uint16_t kUnicodePages[256]", tables.unicode_pages, 16, "U+", 0,
        0x1000);
  out << "\n// Pages of 256 code points each; the first page is empty.\n";
  out << "alignas(64) const uint16_t kUnicodeToGb[" << tables.unicode_to_gb.size()
      << "] = {\n";
  for (size_t i = 0; i < tables.unicode_to_gb.size(); i += 16) {
    const size_t page = i / 256;
    unsigned first_cp = 0;
    for (unsigned p = 0; p < 256; ++p) {
      if (page != 0 && tables.unicode_pages[p] == page * 256) first_cp = p << 8;
    }
    out << "   ";
    for (size_t k = i; k < i + 16; ++k) out << " 0x" << Hex(tables.unicode_to_gb[k], 4) << ",";
    if (page == 0) {
      out << "  // (empty)\n";
    } else {
      out << "  // U+" << Hex(first_cp + static_cast<unsigned>(i % 256), 4) << "\n";
    }
  }
  out << "};\n"
      << "static_assert(sizeof kUnicodeToGb / sizeof kUnicodeToGb[0] == kUnicodeToGbSize,\n"
         "              \"cp936_tables.h is out of step with this file\");\n"
         "\n"
         "}  // namespace internal\n"
         "}  // namespace textcodec\n";
  return out.str();
}

}  // namespace

int main(int argc, char** argv) {
  const bool check = argc == 3 && std::strcmp(argv[1], "--check") == 0;
  if (!(argc == 2 || check)) {
    std::fprintf(stderr, "usage: cp936_tablegen [--check] FILE\n");
    return 2;
  }
  const char* path = argv[argc - 1];
  const std::string source = Source(Build());
  if (!check) {
    std::ofstream file(path, std::ios::binary);
    file << source;
    if (!file.flush()) Die(std::string("cannot write ") + path);
    return 0;
  }
  std::ifstream file(path, std::ios::binary);
  std::stringstream present;
  present << file.rdbuf();
  if (present.str() == source) return 0;
  std::istringstream want(source);
  std::istringstream have(present.str());
  std::string want_line, have_line;
  for (int line = 1;; ++line) {
    const bool more_want = static_cast<bool>(std::getline(want, want_line));
    const bool more_have = static_cast<bool>(std::getline(have, have_line));
    if (!more_want && !more_have) break;
    if (want_line != have_line || more_want != more_have) {
      std::fprintf(stderr,
                   "%s is not what iconv's CP936 gives here; line %d:\n  has:  %s\n  want: %s\n"
                   "regenerate it with: cmake --build build/default --target textcodec_tables\n",
                   path, line, more_have ? have_line.c_str() : "(end of file)",
                   more_want ? want_line.c_str() : "(end of file)");
      break;
    }
  }
  return 1;
}
