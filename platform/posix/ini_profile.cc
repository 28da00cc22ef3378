// The private-profile reader used where kernel32 is missing. Every call opens
// the file afresh, reads it whole without locking it and parses it; nothing
// is cached and nothing is ever written to it.
//
// The file is read the way kernel32 reads it, as tests/ini compares under
// Wine (doc/windows.md lists what still differs):
//  - Lines end at LF, CR or any run of them (CRLF, a lone CR).
//  - Blanks (\t \n \v \f \r, ^Z and space) around a line are dropped; a
//    line left empty is skipped.
//  - A line starting with '[' and holding a ']' opens a section. Its name is
//    what lies between the '[' and the last ']', blanks around it dropped;
//    anything after that ']' is ignored. A line starting with '[' without
//    any ']' is an ordinary line.
//  - The lines before the first section form a section named "", which is
//    the one a request for "" finds (a later "[]" is never reached).
//  - Any other line is a key line, split at its first '=': the name is what
//    precedes it, blanks before the '=' dropped; the value is what follows,
//    blanks after the '=' dropped. A line without '=' is a name without a
//    value. A line with an empty name that follows one with an empty name
//    in the same section is dropped.
//  - A key line whose name starts with ';' is a comment: the list of a
//    section leaves it out, but a request for its name finds it.
//  - Section and key names compare without regard to ASCII case.
//  - Only the first section of a name counts; later ones of the same name
//    are ignored. Within it the first line of a key name decides.
//  - Bytes are taken as they are: a UTF-8 byte-order mark is not skipped
//    (so on a first line it spoils that line, as on Windows). A NUL byte
//    ends the name, value or section name it falls in; lines go on after it.
//  - A missing file reads as an empty one. A path that cannot be opened for
//    another reason (a directory, a missing folder on the way, no access)
//    or that is not a regular file reads as empty too, except that a
//    default value is then given without its quotes removed.
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

// What became of an attempt to read a file.
enum class FileRead {
  kRead,     // the whole content was read
  kMissing,  // no such file, in a folder that exists
  kFailed,   // anything else: kernel32 fails to open it
};

// True when the folder that would hold `posix_path` exists.
bool ParentExists(const std::string& posix_path) {
  const size_t slash = posix_path.find_last_of('/');
  const std::string parent =
      slash == std::string::npos ? "." : slash == 0 ? "/" : posix_path.substr(0, slash);
  struct stat st;
  return stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The whole content of the regular file at `path` (either separator).
FileRead ReadWholeFile(const char* path, std::string* text) {
  if (path == nullptr || *path == '\0') return FileRead::kFailed;
  const std::string posix_path = ToPosixPath(path);
  int fd;
  do {
    // O_NONBLOCK: a FIFO at the path must not hang the caller.
    fd = open(posix_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return errno == ENOENT && ParentExists(posix_path) ? FileRead::kMissing
                                                       : FileRead::kFailed;
  }
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
  if (!ok) text->clear();
  return ok ? FileRead::kRead : FileRead::kFailed;
}

// One key line of a section. `name` and `value` end at their first NUL.
struct Entry {
  std::string_view name;
  std::string_view value;
  bool has_value;  // the line has an '='
  bool comment;    // the name starts with ';'
};

// Calls visit(entry) for the key lines of the first section of `text` whose
// name (up to a NUL) satisfies matches(name), in file order, until visit
// returns false. The lines before the first section form the section "".
// Returns whether the section exists.
template <typename Match, typename Visit>
bool VisitSection(std::string_view text, Match&& matches, Visit&& visit) {
  bool in_section = matches(std::string_view());
  bool found = in_section;
  bool any_key = false;       // the section has a key line so far
  bool last_unnamed = false;  // and the last one has an empty name
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find_first_of("\r\n", pos);
    if (eol == std::string_view::npos) eol = text.size();
    const std::string_view line = Trim(text.substr(pos, eol - pos));
    pos = eol + 1;
    if (line.empty()) continue;
    const size_t close = line.front() == '[' ? line.rfind(']') : std::string_view::npos;
    if (close != std::string_view::npos) {
      if (found) return true;
      in_section = found = matches(UpToNul(Trim(line.substr(1, close - 1))));
      any_key = false;
      continue;
    }
    if (!in_section) continue;
    std::string_view raw_name = line;
    Entry entry{};
    const size_t eq = line.find('=');
    if (eq != std::string_view::npos) {
      raw_name = TrimRight(line.substr(0, eq));
      entry.value = UpToNul(TrimLeft(line.substr(eq + 1)));
      entry.has_value = true;
    }
    entry.name = UpToNul(raw_name);
    entry.comment = !raw_name.empty() && raw_name.front() == ';';
    if (raw_name.empty() && any_key && last_unnamed) continue;
    any_key = true;
    last_unnamed = entry.name.empty();
    if (!visit(entry)) return true;
  }
  return found;
}

// The bytes GetPrivateProfileStringA copies of `text` into `size` bytes,
// the NUL not counted: at most size - 1, none when size is 0. With `strip`,
// one pair of matching quotes ('...' or "...") around the text is removed;
// when the text without its opening quote is exactly `size` bytes long,
// kernel32 removes the last byte before the closing quote as well (of an
// empty quoted text there is none to remove).
std::string_view ProfileCopy(std::string_view text, uint32_t size, bool strip) {
  if (size == 0) return std::string_view();
  const size_t room = size - 1;
  if (strip && text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
      text.back() == text.front()) {
    text.remove_prefix(1);  // the text and its closing quote
    const size_t copied = std::min<size_t>(text.size(), room);
    // Up to the closing quote when it is within reach.
    if (size >= text.size()) return text.substr(0, copied == 0 ? 0 : copied - 1);
    return text.substr(0, copied);
  }
  return text.substr(0, std::min<size_t>(text.size(), room));
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
  if (ReadWholeFile(path, &text) == FileRead::kRead) {
    // The name asked for is taken as it is, blanks and all.
    const std::string_view wanted(section);
    const auto matches = [&](std::string_view name) {
      return EqualsIgnoreAsciiCase(name, wanted);
    };
    VisitSection(text, matches, [&](const Entry& entry) {
      if (entry.comment || (entry.name.empty() && !entry.has_value)) return true;
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

// The section and key names asked for have blanks around them dropped. The
// value has one pair of surrounding quotes removed (see ProfileCopy), and so
// has the default, after its trailing spaces have been dropped, unless the
// file could not be opened.
uint32_t ReadProfileString(const char* section, const char* key,
                           const char* default_value, char* buffer,
                           uint32_t size, const char* path) {
  if (buffer == nullptr || size == 0) return 0;
  std::string_view result = default_value != nullptr ? default_value : "";
  while (!result.empty() && result.back() == ' ') result.remove_suffix(1);
  std::string text;
  const FileRead read = ReadWholeFile(path, &text);
  if (section != nullptr && key != nullptr && read == FileRead::kRead) {
    const std::string_view wanted_section = Trim(section);
    const std::string_view wanted_key = Trim(key);
    const auto matches = [&](std::string_view name) {
      return EqualsIgnoreAsciiCase(name, wanted_section);
    };
    VisitSection(text, matches, [&](const Entry& entry) {
      if (!EqualsIgnoreAsciiCase(entry.name, wanted_key)) return true;
      // A line of that name without '=' hides later ones: the default.
      if (entry.has_value) result = entry.value;
      return false;
    });
  }
  result = ProfileCopy(result, size, read != FileRead::kFailed);
  if (!result.empty()) std::memcpy(buffer, result.data(), result.size());
  buffer[result.size()] = '\0';
  return static_cast<uint32_t>(result.size());
}

}  // namespace msglogic
