// A scratch directory for one test, removed with everything in it.
#ifndef MSGLOGIC_TESTS_SUPPORT_TEMP_DIR_H_
#define MSGLOGIC_TESTS_SUPPORT_TEMP_DIR_H_

#include <string>

namespace msglogic {
namespace testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // Writes `content` (bytes as they are) to `relative` ('/'-separated) under
  // the directory, creating folders on the way; returns the full path.
  std::string Write(const std::string& relative, const std::string& content);

 private:
  std::string path_;
};

}  // namespace testing
}  // namespace msglogic

#endif  // MSGLOGIC_TESTS_SUPPORT_TEMP_DIR_H_
