#include <stdlib.h>
#include <unistd.h>

#include "host/os.h"

namespace demo {

std::string ProgramDir() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return ".";
  self[n] = '\0';
  std::string dir = self;
  return dir.substr(0, dir.rfind('/'));
}

void SetEnvVar(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
}

void PrepareConsole() {}  // terminals here take UTF-8

}  // namespace demo
