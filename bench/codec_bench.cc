// The codec on names of 4 to 30 bytes, both ways, beside its floor: one
// iconv call per name on a descriptor opened once (bench/paired.h).
//
//  codec/<way>          the codec in a shared library, built as the agent
//                       library gets it: the figure with a target
//  codec/<way>/static   the codec linked into the program
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <iconv.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/paired.h"
#include "bench/texts.h"
#include "textcodec.h"

namespace msglogic {
namespace bench {
namespace {

constexpr size_t kNames = 1000;

struct Names {
  std::vector<std::string> gb;    // 4 to 30 bytes of GB2312 each
  std::vector<std::string> utf8;  // 4 to 30 bytes of UTF-8 each

  static const Names& Get() {
    static const Names names = [] {
      Names n;
      Rng rng(20240604);
      for (size_t i = 0; i < kNames; ++i) {
        n.gb.push_back(NameGb(rng, rng.Between(4, 30)));
        n.utf8.push_back(NameUtf8(rng, rng.Between(4, 30)));
      }
      return n;
    }();
    return names;
  }
};

enum Way { kGbToUtf8 = 0, kUtf8ToGb = 1 };
using ConvertFn = int (*)(char*, const char*, int);

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "codec bench: %s\n", what.c_str());
  std::abort();
}

// The two conversions of a probe library, loaded once.
struct Probe {
  ConvertFn convert[2];

  explicit Probe(const char* path) {
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) Fail(std::string("cannot load ") + path + ": " + dlerror());
    convert[kGbToUtf8] = reinterpret_cast<ConvertFn>(dlsym(library, "ProbeGbToUtf8"));
    convert[kUtf8ToGb] = reinterpret_cast<ConvertFn>(dlsym(library, "ProbeUtf8ToGb"));
    if (convert[0] == nullptr || convert[1] == nullptr) Fail(std::string("no probe in ") + path);
  }
};

const Probe& Shipped() {
  static const Probe shipped(MSGLOGIC_BENCH_CODEC);
  return shipped;
}

const std::vector<std::string>& Inputs(Way way) {
  return way == kGbToUtf8 ? Names::Get().gb : Names::Get().utf8;
}

// Each operation converts every name this many times.
constexpr int kPasses = 5;

// The floor and the codec (`convert`) in turns.
void RunAgainstIconv(benchmark::State& state, Way way, ConvertFn convert) {
  const std::vector<std::string>& names = Inputs(way);
  iconv_t cd = way == kGbToUtf8 ? iconv_open("UTF-8", "CP936") : iconv_open("CP936", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) Fail("iconv_open failed");
  char out[64];
  RunPaired(
      state,
      [&] {
        for (int pass = 0; pass < kPasses; ++pass) {
          for (const std::string& name : names) {
            char* in = const_cast<char*>(name.data());
            size_t in_left = name.size();
            char* o = out;
            size_t out_left = way == kGbToUtf8 ? 2 * name.size() : name.size();
            iconv(cd, &in, &in_left, &o, &out_left);
            benchmark::DoNotOptimize(o);
          }
        }
        benchmark::ClobberMemory();
      },
      [&] {
        for (int pass = 0; pass < kPasses; ++pass) {
          for (const std::string& name : names) {
            benchmark::DoNotOptimize(convert(out, name.data(), static_cast<int>(name.size())));
          }
        }
        benchmark::ClobberMemory();
      });
  iconv_close(cd);
}

void BM_Shared(benchmark::State& state, Way way) {
  RunAgainstIconv(state, way, Shipped().convert[way]);
}

void BM_Static(benchmark::State& state, Way way) {
  RunAgainstIconv(state, way, way == kGbToUtf8 ? &GB2312ToUTF_8 : &UTF_8ToGB2312);
}

#define CODEC_BENCHMARKS(way, label)                                \
  BENCHMARK_CAPTURE(BM_Shared, way, way)->Name("codec/" label);     \
  BENCHMARK_CAPTURE(BM_Static, way, way)->Name("codec/" label "/static")

CODEC_BENCHMARKS(kGbToUtf8, "gb2312-to-utf8");
CODEC_BENCHMARKS(kUtf8ToGb, "utf8-to-gb2312");

}  // namespace
}  // namespace bench
}  // namespace msglogic
