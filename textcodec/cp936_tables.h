// Internal to textcodec: the code page 936 <-> Unicode tables, constant data
// made from iconv's CP936 by tools/cp936_tablegen.cc (cp936_tables.cc).

#ifndef TEXTCODEC_CP936_TABLES_H_
#define TEXTCODEC_CP936_TABLES_H_

#include <cstddef>
#include <cstdint>

namespace textcodec {
namespace internal {

// Two-byte GBK: a lead byte 0x81-0xFE and a second byte; the table has a
// column for every second byte 0x40-0xFF.
constexpr unsigned kGbLeadFirst = 0x81;
constexpr unsigned kGbLeadLast = 0xFE;
constexpr unsigned kGbColumnFirst = 0x40;
constexpr unsigned kGbColumnLast = 0xFF;
constexpr size_t kGbColumns = kGbColumnLast - kGbColumnFirst + 1;  // 192
constexpr size_t kGbPairs = (kGbLeadLast - kGbLeadFirst + 1) * kGbColumns;

// Index in kGbToUnicode of a lead byte and a second byte 0x40-0xFF.
constexpr size_t GbPairIndex(unsigned lead, unsigned second) {
  return (lead - kGbLeadFirst) * kGbColumns + (second - kGbColumnFirst);
}

// Entries of kGbToUnicode besides code points (which are all U+0080 or
// above): a well-formed pair without a mapping, and a second byte that is
// not a trail byte (0x7F, 0xFF), after which the lead byte stands alone.
constexpr uint16_t kGbNoMapping = 0;
constexpr uint16_t kGbNotATrail = 0xFFFF;

extern const uint16_t kGbToUnicode[kGbPairs];

// Unicode -> two-byte GBK (lead << 8 | trail; 0: no mapping), for U+0080 to
// U+FFFF: kUnicodeToGb[kUnicodePages[cp >> 8] + (cp & 0xFF)]. Entries for
// ASCII and for surrogates are 0.
extern const uint16_t kUnicodePages[256];
constexpr size_t kUnicodeToGbSize = 26368;
extern const uint16_t kUnicodeToGb[kUnicodeToGbSize];

}  // namespace internal
}  // namespace textcodec

#endif  // TEXTCODEC_CP936_TABLES_H_
