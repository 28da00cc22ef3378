// Deterministic Chinese texts for the benchmarks, in both encodings.
//
// Every text is made of characters that code page 936 holds, so converting
// it either way never produces '?', and the same seed always gives the same
// texts: runs on different days compare like with like.
#ifndef MSGLOGIC_BENCH_TEXTS_H_
#define MSGLOGIC_BENCH_TEXTS_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace msglogic {
namespace bench {

// A small, fast, reproducible generator (splitmix64).
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t Next();
  // Uniform in [lo, hi].
  size_t Between(size_t lo, size_t hi) {
    return lo + static_cast<size_t>(Next() % (hi - lo + 1));
  }

 private:
  uint64_t state_;
};

// `chars` Chinese characters (with an occasional full-width comma or full
// stop when `punctuated`), in UTF-8.
std::string ChineseUtf8(Rng& rng, size_t chars, bool punctuated = false);

// A name of exactly `bytes` bytes in UTF-8: Chinese characters, the rest
// filled with ASCII letters and digits.
std::string NameUtf8(Rng& rng, size_t bytes);
// The same, exactly `bytes` bytes in GB2312.
std::string NameGb(Rng& rng, size_t bytes);

// Conversions through the codec, for preparing data only. Abort when a
// character does not convert, so a broken data set never gets measured.
std::string ToGb(const std::string& utf8);
std::string ToUtf8(const std::string& gb);

}  // namespace bench
}  // namespace msglogic

#endif  // MSGLOGIC_BENCH_TEXTS_H_
