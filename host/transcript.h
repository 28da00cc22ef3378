// The demo's output: whole lines, each stamped with the seconds since the
// start, written by any thread without mixing. Text from the agent is
// GB2312 and is shown as UTF-8.
#ifndef MSGLOGIC_HOST_TRANSCRIPT_H_
#define MSGLOGIC_HOST_TRANSCRIPT_H_

#include <stddef.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "MsgLogicEx.h"

namespace demo {

class Transcript {
 public:
  explicit Transcript(std::FILE* out) : out_(out), start_(std::chrono::steady_clock::now()) {}

  // "[ 1.234] text" and a newline.
  void Line(const std::string& text);
  // The text as it is, unstamped (prompts).
  void Raw(const std::string& text);
  double Seconds() const;

 private:
  std::FILE* const out_;
  const std::chrono::steady_clock::time_point start_;
  std::mutex mu_;
};

// GB2312 bytes (at most `size`, up to the first NUL) as UTF-8.
std::string Utf8(const char* gb, size_t size = static_cast<size_t>(-1));
// UTF-8 as GB2312, cut to at most `cap` bytes on a character boundary.
std::string Gb(const std::string& utf8, size_t cap = static_cast<size_t>(-1));

// One line about a friend: id, name, display name, status, value, long text.
std::string Describe(const FriendInfo& f);
bool IsOnline(const FriendInfo& f);

}  // namespace demo

#endif  // MSGLOGIC_HOST_TRANSCRIPT_H_
