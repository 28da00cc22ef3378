#include "platform/trace_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace msglogic {
namespace {

struct TraceTarget {
  FILE* file = nullptr;  // null: traces are dropped
  std::mutex mu;         // one line at a time
};

TraceTarget* Target() {
  // Built on first use and never destroyed: workers may trace while the
  // process exits.
  static TraceTarget* target = [] {
    auto* t = new TraceTarget;
    const char* where = std::getenv("MSGLOGIC_TRACE");
    if (where == nullptr || where[0] == '\0') return t;
    if (std::strcmp(where, "stderr") == 0) {
      t->file = stderr;
    } else {
      t->file = std::fopen(where, "ab");
    }
    return t;
  }();
  return target;
}

}  // namespace

void WriteTraceLine(const char* text) {
  TraceTarget* t = Target();
  if (t->file == nullptr) return;
  std::string line(text);
  line.push_back('\n');
  std::lock_guard<std::mutex> hold(t->mu);
  std::fwrite(line.data(), 1, line.size(), t->file);
  std::fflush(t->file);
}

}  // namespace msglogic
