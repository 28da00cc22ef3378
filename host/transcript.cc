#include "host/transcript.h"

#include <algorithm>
#include <cstring>

#include "textcodec.h"

namespace demo {

void Transcript::Line(const std::string& text) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "[%6.3f] ", Seconds());
  std::lock_guard<std::mutex> hold(mu_);
  std::fputs(stamp, out_);
  std::fputs(text.c_str(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

void Transcript::Raw(const std::string& text) {
  std::lock_guard<std::mutex> hold(mu_);
  std::fputs(text.c_str(), out_);
  std::fflush(out_);
}

double Transcript::Seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

std::string Utf8(const char* gb, size_t size) {
  if (gb == nullptr) return std::string();
  size_t n = 0;
  while (n < size && gb[n] != '\0') ++n;
  std::string utf8(2 * n, '\0');
  utf8.resize(GB2312ToUTF_8N(&utf8[0], utf8.size(), gb, n));
  return utf8;
}

std::string Gb(const std::string& utf8, size_t cap) {
  std::string gb(std::min(cap, utf8.size()), '\0');
  gb.resize(UTF_8ToGB2312N(&gb[0], gb.size(), utf8.data(), utf8.size()));
  return gb;
}

bool IsOnline(const FriendInfo& f) { return f.byStatus != 2 && f.byStatus != 3; }

std::string Describe(const FriendInfo& f) {
  std::string line = std::to_string(f.nUserId) + " " + Utf8(f.szName, sizeof f.szName);
  const std::string display = Utf8(f.szDisplayName, sizeof f.szDisplayName);
  if (!display.empty()) line += " \"" + display + "\"";
  line += IsOnline(f) ? ", online" : ", not online";
  line += " (status " + std::to_string(f.byStatus) + "), value " + std::to_string(f.nUserValue);
  const std::string text = Utf8(f.szLongText, sizeof f.szLongText);
  if (!text.empty()) line += ": " + text;
  return line;
}

}  // namespace demo
