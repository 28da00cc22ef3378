// CIniFile: the login code's reader of the saved-login file, an INI file
// read through the Env (GetPrivateProfile* on Windows, the POSIX profile
// reader elsewhere). It never writes the file and keeps nothing of it
// between calls: every read sees the file as it is then.
//
// Not thread-safe: one thread at a time per object.
#ifndef MSGLOGIC_LOGIN_INI_FILE_H_
#define MSGLOGIC_LOGIN_INI_FILE_H_

#include <cstddef>
#include <string>
#include <vector>

namespace msglogic {
class Env;
}  // namespace msglogic

class CIniFile {
 public:
  // Longest value or section entry seen, in bytes; longer ones are cut.
  static constexpr size_t kMaxValueLength = 259;
  // Size of the buffer a section is read into; a longer section is cut.
  static constexpr size_t kSectionBufferSize = 65535;

  // `env` is used for every read and must outlive the object. No file is
  // set: reads find nothing until SetFile.
  explicit CIniFile(msglogic::Env* env);
  CIniFile(const CIniFile&) = delete;
  CIniFile& operator=(const CIniFile&) = delete;
  virtual ~CIniFile();

  // Makes `path` the file read from now on, whatever the outcome. True when
  // the path names something that exists and is not a directory.
  bool SetFile(std::string path);

  // The value of `key` in `section` with surrounding white space (space,
  // \t \n \v \f \r) removed; "" when the file, section or key is missing.
  // Only the value's first kMaxValueLength bytes are read.
  std::string GetString(std::string section, std::string key);

  // Replaces the contents of `keys` and `values` with the entries of
  // `section`, in file order: for an entry "k=v", k in `keys` and v in
  // `values` at the same index, split at the first '='; an entry without
  // '=' gives an empty key and the whole entry as value. Neither is
  // trimmed. Entries are cut to their first kMaxValueLength bytes before
  // they are split. Returns the number of entries: 0, with both lists
  // empty, when the file or section is missing or the section is empty.
  int GetSection(std::string section, std::vector<std::string>& keys,
                 std::vector<std::string>& values);

 private:
  std::string m_strFile;        // the file set by SetFile; empty before
  msglogic::Env* const m_pEnv;  // the reads go through it
};

#endif  // MSGLOGIC_LOGIN_INI_FILE_H_
