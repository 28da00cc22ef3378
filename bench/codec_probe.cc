// The codec inside a shared library of its own, loaded with dlopen as hosts
// load the agent library: its tables are reached the way the agent library
// reaches them (position-independent code), which a benchmark program
// linking the codec statically does not show.
#include "textcodec.h"

#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))

PROBE_EXPORT int ProbeGbToUtf8(char* dst, const char* src, int len) {
  return GB2312ToUTF_8(dst, src, len);
}

PROBE_EXPORT int ProbeUtf8ToGb(char* dst, const char* src, int len) {
  return UTF_8ToGB2312(dst, src, len);
}
