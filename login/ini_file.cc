#include "login/ini_file.h"

#include <stdint.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/env.h"

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

// Appends one NUL-free section entry (at most kMaxValueLength bytes) to the
// lists, split at its first '='.
void AddEntry(const char* entry, size_t length, std::vector<std::string>& keys,
              std::vector<std::string>& values) {
  const void* eq = std::memchr(entry, '=', length);
  if (eq == nullptr) {
    keys.emplace_back();
    values.emplace_back(entry, length);
    return;
  }
  const size_t key_length =
      static_cast<size_t>(static_cast<const char*>(eq) - entry);
  keys.emplace_back(entry, key_length);
  values.emplace_back(entry + key_length + 1, length - key_length - 1);
}

}  // namespace

CIniFile::CIniFile(msglogic::Env* env) : m_pEnv(env) {}

CIniFile::~CIniFile() = default;

bool CIniFile::SetFile(std::string path) {
  m_strFile = std::move(path);
  const uint32_t attributes = m_pEnv->FileAttributes(m_strFile.c_str());
  return attributes != msglogic::kInvalidFileAttributes &&
         (attributes & msglogic::kFileAttributeDirectory) == 0;
}

std::string CIniFile::GetString(std::string section, std::string key) {
  char buffer[kMaxValueLength + 1] = {};
  m_pEnv->ProfileString(section.c_str(), key.c_str(), "", buffer, sizeof buffer,
                        m_strFile.c_str());
  buffer[kMaxValueLength] = '\0';  // in case the Env left it unterminated
  size_t begin = 0;
  size_t end = std::strlen(buffer);
  while (begin < end && IsSpace(buffer[begin])) ++begin;
  while (end > begin && IsSpace(buffer[end - 1])) --end;
  return std::string(buffer + begin, end - begin);
}

int CIniFile::GetSection(std::string section, std::vector<std::string>& keys,
                         std::vector<std::string>& values) {
  keys.clear();
  values.clear();
  // On the heap: worker threads may run on small stacks.
  std::vector<char> buffer(kSectionBufferSize, '\0');
  m_pEnv->ProfileSection(section.c_str(), buffer.data(),
                         static_cast<uint32_t>(buffer.size()),
                         m_strFile.c_str());
  if (buffer[0] == '\0') return 0;
  // The list ends at its first pair of NULs. Should the Env have left none,
  // it ends with the buffer, whose end then also ends the last entry.
  size_t end = buffer.size();
  for (size_t p = 0; p + 1 < buffer.size(); ++p) {
    if (buffer[p] == '\0' && buffer[p + 1] == '\0') {
      end = p;
      break;
    }
  }
  size_t start = 0;  // of the current entry
  for (size_t i = 0; i <= end; ++i) {
    if (i < end && buffer[i] != '\0') continue;
    // An entry is cut to its first kMaxValueLength bytes before it is split,
    // so an '=' past the cut leaves it without a key.
    const size_t length = std::min(i - start, kMaxValueLength);
    if (i > start) AddEntry(buffer.data() + start, length, keys, values);
    start = i + 1;
  }
  return static_cast<int>(keys.size());
}
