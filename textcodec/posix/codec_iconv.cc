// Platform converter on top of glibc iconv ("CP936" <-> "UTF-8").

#include <iconv.h>

#include "codec_common.h"

namespace textcodec {
namespace internal {

namespace {

const iconv_t kNoDescriptor = reinterpret_cast<iconv_t>(-1);

// The calling thread's two descriptors, opened on first use and closed when
// the thread exits. A descriptor that fails to open is not retried; every
// non-ASCII character in that direction then becomes '?'.
class ThreadDescriptors {
 public:
  ThreadDescriptors() = default;
  ThreadDescriptors(const ThreadDescriptors&) = delete;
  ThreadDescriptors& operator=(const ThreadDescriptors&) = delete;
  ~ThreadDescriptors() {
    for (iconv_t cd : cd_) {
      if (cd != kNoDescriptor) iconv_close(cd);
    }
  }

  iconv_t Get(Direction dir) {
    const int i = dir == Direction::kGbToUtf8 ? 0 : 1;
    if (!tried_[i]) {
      tried_[i] = true;
      cd_[i] = i == 0 ? iconv_open("UTF-8", "CP936") : iconv_open("CP936", "UTF-8");
    }
    return cd_[i];
  }

 private:
  iconv_t cd_[2] = {kNoDescriptor, kNoDescriptor};
  bool tried_[2] = {false, false};
};

thread_local ThreadDescriptors t_descriptors;

}  // namespace

RunResult ConvertRun(Direction dir, const char* src, size_t len, char* dst,
                     size_t cap) {
  const iconv_t cd = t_descriptors.Get(dir);
  if (cd == kNoDescriptor) return {0, 0};
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  // iconv stops before the first character it cannot convert (EILSEQ), that
  // is cut off by the end of the input (EINVAL) or that does not fit (E2BIG),
  // having written exactly the characters before it; which of the three it
  // was does not matter to the caller.
  char* in = const_cast<char*>(src);
  size_t in_left = len;
  char* out = dst;
  size_t out_left = cap;
  iconv(cd, &in, &in_left, &out, &out_left);
  return {len - in_left, cap - out_left};
}

}  // namespace internal
}  // namespace textcodec
