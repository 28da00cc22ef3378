// The reference's converter: glibc iconv ("CP936" <-> "UTF-8").

#include <iconv.h>

#include "iconv_reference.h"

namespace textcodec {
namespace reference {

namespace {

const iconv_t kOpenFailed = reinterpret_cast<iconv_t>(-1);

// One direction's descriptor for the calling thread. All zero is the state
// before first use.
struct Slot {
  iconv_t cd;  // null: none (not opened yet, or iconv_open failed)
  bool tried;  // iconv_open was called; a failure is not retried, and every
               // non-ASCII character in this direction then becomes '?'
  bool dirty;  // the last conversion stopped early; reset before reuse
};

// Plain data, initialised to zero at compile time, so the hot path reads it
// without any thread_local guard.
thread_local Slot t_slots[2] = {};

// Closes the calling thread's descriptors when the thread exits. Touched only
// when a descriptor is opened, which registers its destructor. The slots stay
// marked as tried, so a conversion run by a later thread_local destructor
// opens nothing that would leak; its non-ASCII characters become '?'.
struct SlotCloser {
  ~SlotCloser() {
    for (Slot& s : t_slots) {
      if (s.cd != nullptr) iconv_close(s.cd);
      s = {nullptr, true, false};
    }
  }
};
thread_local SlotCloser t_closer;

Slot& SlotFor(Direction dir) {
  const int i = dir == Direction::kGbToUtf8 ? 0 : 1;
  Slot& s = t_slots[i];
  if (!s.tried) {
    s.tried = true;
    const iconv_t cd = i == 0 ? iconv_open("UTF-8", "CP936") : iconv_open("CP936", "UTF-8");
    s.cd = cd != kOpenFailed ? cd : nullptr;
    static_cast<void>(&t_closer);
  }
  return s;
}

}  // namespace

RunResult ConvertRun(Direction dir, const char* src, size_t len, char* dst,
                     size_t cap) {
  Slot& s = SlotFor(dir);
  if (s.cd == nullptr) return {0, 0};
  // Both encodings are stateless, so a conversion that consumed its whole
  // input leaves the descriptor in its initial state. Only one that stopped
  // early is followed by a reset; resetting every time would cost about a
  // third of a short conversion.
  if (s.dirty) iconv(s.cd, nullptr, nullptr, nullptr, nullptr);
  // iconv stops before the first character it cannot convert (EILSEQ), that
  // is cut off by the end of the input (EINVAL) or that does not fit (E2BIG),
  // having written exactly the characters before it; which of the three it
  // was does not matter to the caller.
  char* in = const_cast<char*>(src);
  size_t in_left = len;
  char* out = dst;
  size_t out_left = cap;
  iconv(s.cd, &in, &in_left, &out, &out_left);
  s.dirty = in_left != 0;
  return {len - in_left, cap - out_left};
}

}  // namespace reference
}  // namespace textcodec
