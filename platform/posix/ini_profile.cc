// The private-profile reader used where kernel32 is missing. Every call opens
// the file afresh, reads it whole without locking it and parses it; nothing
// is cached and nothing is ever written to it. A path that cannot be opened,
// is not a regular file or cannot be read counts as a missing file.
//
// The file is read the way Windows reads it (where Windows' behaviour is not
// known, the way Wine's kernel32 does):
//  - Lines end at LF, CR or any run of them (CRLF, a lone CR).
//  - Blanks (\t \n \v \f \r, ^Z and space) around a line are dropped; a
//    line left empty is skipped.
//  - A line starting with '[' opens a section. Its name runs to the first
//    ']' or to the end of the line if there is none, blanks around it
//    dropped; anything after the ']' is ignored.
//  - Lines before the first section belong to no section, not even "".
//  - A line starting with ';' is a comment: it is never a key and is not
//    listed by ReadProfileSection.
//  - Any other line is a key line, split at its first '=': the name is what
//    precedes it, blanks before the '=' dropped; the value is what follows,
//    blanks after the '=' dropped. A line without '=' is a name without a
//    value.
//  - Section and key names compare without regard to ASCII case.
//  - Only the first section of a name counts; later ones of the same name
//    are ignored. Within it the first line of a key name decides.
//  - Bytes are taken as they are: a UTF-8 byte-order mark is not skipped
//    (so on a first line it spoils that line, as on Windows). A NUL byte
//    ends the name, value or section name it falls in; lines go on after it.
#include "platform/posix/ini_profile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string_view>

namespace msglogic {
namespace {

bool IsBlank(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return (u >= 0x09 && u <= 0x0d) || u == 0x1a || u == ' ';
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

// Windows drops only spaces, not tabs, around the section and key names a
// caller asks for.
std::string_view TrimSpaces(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

std::string_view UpToNul(std::string_view s) {
  return s.substr(0, s.find('\0'));
}

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// The whole content of the regular file at `path` (either separator).
// False when it is missing, not a regular file, or cannot be read, or when
// memory for it cannot be had.
bool ReadWholeFile(const char* path, std::string* text) {
  if (path == nullptr || *path == '\0') return false;
  const std::string posix_path = ToPosixPath(path);
  int fd;
  do {
    // O_NONBLOCK: a FIFO at the path must not hang the caller.
    fd = open(posix_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  try {
    size_t used = 0;
    // One byte more than the size so that end of file shows without a
    // second allocation; the file may also grow while it is read.
    if (ok) text->resize(static_cast<size_t>(st.st_size) + 1);
    while (ok) {
      if (used == text->size()) text->resize(text->size() * 2);
      const ssize_t n = read(fd, &(*text)[used], text->size() - used);
      if (n > 0) {
        used += static_cast<size_t>(n);
      } else if (n == 0) {
        break;
      } else if (errno != EINTR) {
        ok = false;
      }
    }
    text->resize(used);
  } catch (const std::bad_alloc&) {
    ok = false;
  } catch (const std::length_error&) {
    ok = false;
  }
  close(fd);
  return ok;
}

// One key line of a section. `name` and `value` end at their first NUL.
struct Entry {
  std::string_view name;
  std::string_view value;
  bool has_value;  // the line has an '='
};

// Calls visit(entry) for the key lines of the first section of `text` named
// `section`, in file order, until visit returns false. Returns whether the
// section exists.
template <typename Visit>
bool VisitSection(std::string_view text, std::string_view section,
                  Visit&& visit) {
  bool in_section = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find_first_of("\r\n", pos);
    if (eol == std::string_view::npos) eol = text.size();
    const std::string_view line = Trim(text.substr(pos, eol - pos));
    pos = eol + 1;
    if (line.empty()) continue;
    if (line.front() == '[') {
      if (in_section) return true;
      std::string_view name = line.substr(1);
      name = name.substr(0, name.find(']'));
      in_section = EqualsIgnoreAsciiCase(UpToNul(Trim(name)), section);
      continue;
    }
    if (!in_section || line.front() == ';') continue;
    Entry entry{};
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      entry.name = UpToNul(line);
    } else {
      entry.name = UpToNul(TrimRight(line.substr(0, eq)));
      entry.value = UpToNul(TrimLeft(line.substr(eq + 1)));
      entry.has_value = true;
    }
    if (!visit(entry)) return true;
  }
  return in_section;
}

// One pair of matching quotes ('...' or "...") around `s` removed.
std::string_view StripQuotes(std::string_view s) {
  if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') &&
      s.back() == s.front()) {
    return s.substr(1, s.size() - 2);
  }
  return s;
}

}  // namespace

std::string ToPosixPath(const char* path) {
  std::string result = path != nullptr ? path : "";
  std::replace(result.begin(), result.end(), '\\', '/');
  return result;
}

// Entries are "name=value" (or the bare name of a line without '='), values
// as stored: quotes are kept. A section that does not fit is cut so that
// the list still ends in two NULs inside the buffer, and the result is then
// size - 2; this includes the case where the list and its final NUL fill
// the buffer exactly, as GetPrivateProfileSectionA reports it. A size of 1
// gets a lone NUL.
uint32_t ReadProfileSection(const char* section, char* buffer, uint32_t size,
                            const char* path) {
  if (section == nullptr || buffer == nullptr || size == 0) return 0;
  if (size == 1) {
    buffer[0] = '\0';
    return 0;
  }
  // Bytes below `limit` may take list text; the last two are kept for the
  // closing NULs of a list that does not fit.
  const uint64_t limit = size - 2;
  uint64_t total = 0;  // length of the whole list, excluding the final NUL
  auto put = [&](char c) {
    if (total < limit) buffer[total] = c;
    ++total;
  };
  std::string text;
  if (ReadWholeFile(path, &text)) {
    VisitSection(text, TrimSpaces(section), [&](const Entry& entry) {
      if (entry.name.empty() && !entry.has_value) return true;
      for (char c : entry.name) put(c);
      if (entry.has_value) {
        put('=');
        for (char c : entry.value) put(c);
      }
      put('\0');
      return total + 1 < size;  // once it cannot fit, stop counting
    });
  }
  if (total + 1 < size) {
    buffer[total] = '\0';
    if (total == 0) buffer[1] = '\0';
    return static_cast<uint32_t>(total);
  }
  buffer[size - 2] = '\0';
  buffer[size - 1] = '\0';
  return size - 2;
}

// The value has one pair of surrounding quotes removed, and so has the
// default (after its trailing spaces have been dropped), as Wine does.
uint32_t ReadProfileString(const char* section, const char* key,
                           const char* default_value, char* buffer,
                           uint32_t size, const char* path) {
  if (buffer == nullptr || size == 0) return 0;
  std::string_view result = default_value != nullptr ? default_value : "";
  while (!result.empty() && result.back() == ' ') result.remove_suffix(1);
  std::string text;
  if (section != nullptr && key != nullptr && ReadWholeFile(path, &text)) {
    const std::string_view wanted = TrimSpaces(key);
    VisitSection(text, TrimSpaces(section), [&](const Entry& entry) {
      if (!EqualsIgnoreAsciiCase(entry.name, wanted)) return true;
      // A line of that name without '=' hides later ones: the default.
      if (entry.has_value) result = entry.value;
      return false;
    });
  }
  result = StripQuotes(result);
  const size_t n = std::min<size_t>(result.size(), size - 1);
  if (n > 0) std::memcpy(buffer, result.data(), n);
  buffer[n] = '\0';
  return static_cast<uint32_t>(n);
}

}  // namespace msglogic
