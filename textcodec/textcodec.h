// textcodec: conversion between code page 936 (GBK, the superset of GB2312
// used by Chinese Windows) and UTF-8.
//
// Every function below:
//  - writes whole characters only and never a terminator; bytes of dst past
//    the returned count are left untouched, so a zero-filled buffer stays
//    NUL-terminated after the text;
//  - treats NUL as an ordinary character: a 0x00 byte in src is written as
//    0x00 and conversion goes on after it;
//  - replaces what it cannot convert with '?':
//      GBK -> UTF-8: one '?' for each byte that does not start a well-formed
//        character (0x80, 0xFF, a lead byte 0x81-0xFE followed by a byte
//        outside 0x40-0x7E / 0x80-0xFE or by the end of the input), after
//        which decoding resumes at the very next byte, so "\x81 " becomes
//        "? "; and one '?' for a well-formed two-byte character that has no
//        Unicode mapping (the user-defined areas, for instance).
//      UTF-8 -> GBK: one '?' for each character code page 936 lacks, which
//        includes every character above U+FFFF, and one '?' for each maximal
//        ill-formed subpart of malformed UTF-8 (bad lead byte, bad or missing
//        continuation byte, overlong form, surrogate, beyond U+10FFFF), as
//        in Unicode's "substitution of maximal subparts" practice.
//      The euro sign is never converted: the single byte 0x80 (Microsoft's
//        euro, absent from GB2312 and GB18030) decodes to '?', and U+20AC
//        encodes to '?', so every GBK byte string produced here decodes
//        without '?' of its own.
//  - may be called from any thread at any time; the conversion keeps no
//    state (its tables are constant data shared by every thread).
//
// src and dst must not overlap. dst may be null only when nothing can be
// written (len <= 0, or cap == 0 for the bounded variants).

#ifndef TEXTCODEC_TEXTCODEC_H_
#define TEXTCODEC_TEXTCODEC_H_

#include <cstddef>

// Converts len bytes of GBK at src to UTF-8 at dst and returns the number of
// bytes written. Writes at most 2*len bytes whatever the input: each input
// character yields at most twice its own size. len <= 0 writes nothing and
// returns 0. Output beyond INT_MAX bytes is cut at a character boundary so
// that the count fits the return type.
int GB2312ToUTF_8(char* dst, const char* src, int len);

// Converts len bytes of UTF-8 at src to GBK at dst and returns the number of
// bytes written, which never exceeds len. len <= 0 writes nothing and
// returns 0.
int UTF_8ToGB2312(char* dst, const char* src, int len);

// Bounded variants: convert as above but write at most cap bytes, stopping
// before the first output character (or '?') that would not fit entirely.
// The result is always a prefix of the unbounded conversion that ends on a
// character boundary. Returns the number of bytes written.
size_t GB2312ToUTF_8N(char* dst, size_t cap, const char* src, size_t len);
size_t UTF_8ToGB2312N(char* dst, size_t cap, const char* src, size_t len);

// As UTF_8ToGB2312N, but the input ends at its first NUL byte, if it holds
// one (the NUL is not written): the result is that of UTF_8ToGB2312N over
// the bytes before it, found in the same pass as the conversion.
size_t UTF_8ToGB2312NUntilNul(char* dst, size_t cap, const char* src, size_t len);

#endif  // TEXTCODEC_TEXTCODEC_H_
