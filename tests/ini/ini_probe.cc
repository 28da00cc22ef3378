// ini_probe: reads INI files through the login code's reader (CIniFile) and
// through the Env's private-profile calls beneath it, and prints every result
// in an escaped form, one result to a line. Built for Linux and for Windows,
// it shows whether the POSIX reader and kernel32 read the same files alike:
// the two outputs are compared byte for byte.
//
//   ini_probe QUERIES DIR OUTDIR
//
// Works in DIR, names each file ".\NAME" as the login code names its file,
// and writes the results for it to OUTDIR/NAME.txt (binary, '\n' line ends;
// in NAME every byte but letters, digits, '.', '-' and '_' becomes '_').
//
// QUERIES holds one query a line, its words separated by spaces:
//   file NAME                  the file the following queries read
//   section NAME               CIniFile::GetSection, then the Env's
//                              ProfileSection into 65535 and into 16 bytes
//   string SECTION KEY         CIniFile::GetString, then the Env's
//                              ProfileString with the default "?" into 260
//                              bytes
//   cut SECTION KEY SIZE       the Env's ProfileString with the default "?"
//                              into SIZE bytes (1 to 1000)
//   default SECTION KEY DEF    the Env's ProfileString with the default DEF
// Queries before the first `file` line are asked of every file, before the
// file's own. Blank lines and lines starting with '#' are skipped. In a word,
// \s is a space, \t a tab, \\ a backslash, \xHH the byte HH, and a word that
// is just "" is empty.
//
// In the output a text is quoted; bytes outside ' '..'~', '"' and '\' are
// written \xHH.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "login/ini_file.h"
#include "platform/env.h"

namespace {

std::string Quote(const char* data, size_t size) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = "\"";
  for (size_t i = 0; i < size; ++i) {
    const unsigned char c = static_cast<unsigned char>(data[i]);
    if (c >= ' ' && c <= '~' && c != '"' && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out + "\"";
}

std::string Quote(const std::string& s) { return Quote(s.data(), s.size()); }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One word of a query line with its escapes resolved. False on a bad escape.
bool Unescape(const std::string& word, std::string* out) {
  out->clear();
  if (word == "\"\"") return true;
  for (size_t i = 0; i < word.size(); ++i) {
    if (word[i] != '\\') {
      out->push_back(word[i]);
      continue;
    }
    if (++i == word.size()) return false;
    switch (word[i]) {
      case 's': out->push_back(' '); break;
      case 't': out->push_back('\t'); break;
      case '\\': out->push_back('\\'); break;
      case 'x': {
        if (i + 2 >= word.size()) return false;
        const int hi = HexDigit(word[i + 1]);
        const int lo = HexDigit(word[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        break;
      }
      default: return false;
    }
  }
  return true;
}

struct Query {
  std::string kind;
  std::vector<std::string> args;
  int line = 0;
};

class Probe {
 public:
  Probe() : env_(msglogic::Env::Default()) {}

  // Starts the results of file NAME, in `out`.
  void File(const std::string& name, std::FILE* out) {
    out_ = out;
    path_ = ".\\" + name;
    CIniFile ini(env_);
    Print("== " + Quote(name) + " set " + (ini.SetFile(path_) ? "1" : "0"));
  }

  void Ask(const Query& q) {
    if (q.kind == "section") Section(q.args[0]);
    if (q.kind == "string") String(q.args[0], q.args[1]);
    if (q.kind == "cut") {
      RawString(q.args[0], q.args[1], "?",
                static_cast<uint32_t>(std::stoul(q.args[2])));
    }
    if (q.kind == "default") RawString(q.args[0], q.args[1], q.args[2], 260);
  }

 private:
  void Section(const std::string& section) {
    CIniFile ini(env_);
    ini.SetFile(path_);
    std::vector<std::string> keys;
    std::vector<std::string> values;
    const int n = ini.GetSection(section, keys, values);
    std::string line = "section " + Quote(section) + ": " + std::to_string(n);
    for (size_t i = 0; i < keys.size() && i < values.size(); ++i) {
      line += " " + Quote(keys[i]) + "=" + Quote(values[i]);
    }
    Print(line);
    RawSection(section, 65535);
    RawSection(section, 16);
  }

  // The list up to the result and the two bytes after it (the NULs that
  // close it); bytes past those are not the call's.
  void RawSection(const std::string& section, uint32_t size) {
    std::vector<char> buffer(size, '#');
    const uint32_t n = env_->ProfileSection(section.c_str(), buffer.data(),
                                            size, path_.c_str());
    const size_t shown = std::min<size_t>(size, static_cast<size_t>(n) + 2);
    Print("  env section(" + std::to_string(size) + ") " + std::to_string(n) +
          " " + Quote(buffer.data(), shown));
  }

  void String(const std::string& section, const std::string& key) {
    CIniFile ini(env_);
    ini.SetFile(path_);
    Print("string " + Quote(section) + " " + Quote(key) + ": " +
          Quote(ini.GetString(section, key)));
    RawString(section, key, "?", 260);
  }

  // The text up to the result and the NUL after it.
  void RawString(const std::string& section, const std::string& key,
                 const std::string& def, uint32_t size) {
    std::vector<char> buffer(size, '#');
    const uint32_t n =
        env_->ProfileString(section.c_str(), key.c_str(), def.c_str(),
                            buffer.data(), size, path_.c_str());
    const size_t shown = std::min<size_t>(size, static_cast<size_t>(n) + 1);
    Print("  env string(" + Quote(def) + ", " + std::to_string(size) + ") " +
          std::to_string(n) + " " + Quote(buffer.data(), shown));
  }

  void Print(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), out_);
    std::fputc('\n', out_);
  }

  std::FILE* out_ = nullptr;
  msglogic::Env* const env_;
  std::string path_;
};

bool ReadQueries(const char* path, std::vector<Query>* queries) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "ini_probe: cannot read %s\n", path);
    return false;
  }
  std::string text;
  int number = 0;
  while (std::getline(in, text)) {
    ++number;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty() || text[0] == '#') continue;
    std::istringstream words(text);
    Query q;
    q.line = number;
    words >> q.kind;
    std::string word;
    while (words >> word) {
      std::string arg;
      if (!Unescape(word, &arg)) {
        std::fprintf(stderr, "ini_probe: %s:%d: bad escape in %s\n", path,
                     number, word.c_str());
        return false;
      }
      q.args.push_back(arg);
    }
    const size_t wanted = q.kind == "file" || q.kind == "section" ? 1
                          : q.kind == "string"                    ? 2
                          : q.kind == "cut" || q.kind == "default" ? 3
                                                                  : 0;
    bool ok = wanted != 0 && q.args.size() == wanted;
    if (ok && q.kind == "cut") {
      const std::string& size = q.args[2];
      ok = !size.empty() && size.size() <= 4 &&
           size.find_first_not_of("0123456789") == std::string::npos &&
           std::stoul(size) >= 1 && std::stoul(size) <= 1000;
    }
    if (!ok) {
      std::fprintf(stderr, "ini_probe: %s:%d: bad query\n", path, number);
      return false;
    }
    queries->push_back(q);
  }
  return true;
}

}  // namespace

std::string OutputName(const std::string& name) {
  std::string out;
  for (char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
    out.push_back(plain ? c : '_');
  }
  return out + ".txt";
}

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  if (argc != 4) {
    std::fprintf(stderr, "usage: ini_probe QUERIES DIR OUTDIR\n");
    return 2;
  }
  std::vector<Query> queries;
  if (!ReadQueries(argv[1], &queries)) return 2;
  // Made absolute before the directory changes: OUTDIR may be relative.
  std::error_code error;
  const fs::path out_dir = fs::absolute(argv[3], error);
  if (!error) fs::create_directories(out_dir, error);
  if (error) {
    std::fprintf(stderr, "ini_probe: cannot write in %s\n", argv[3]);
    return 2;
  }
  fs::current_path(argv[2], error);
  if (error) {
    std::fprintf(stderr, "ini_probe: cannot work in %s\n", argv[2]);
    return 2;
  }
  std::vector<Query> common;
  size_t i = 0;
  for (; i < queries.size() && queries[i].kind != "file"; ++i) {
    common.push_back(queries[i]);
  }
  Probe probe;
  for (; i < queries.size(); ++i) {
    if (queries[i].kind != "file") continue;
    const std::string& name = queries[i].args[0];
    const fs::path out_path = out_dir / OutputName(name);
    std::FILE* out = std::fopen(out_path.string().c_str(), "wb");
    if (out == nullptr) {
      std::fprintf(stderr, "ini_probe: cannot write %s\n", out_path.string().c_str());
      return 2;
    }
    probe.File(name, out);
    for (const Query& q : common) probe.Ask(q);
    for (size_t j = i + 1; j < queries.size() && queries[j].kind != "file"; ++j) {
      probe.Ask(queries[j]);
    }
    if (std::fclose(out) != 0) return 1;
  }
  return 0;
}
