#include <windows.h>

#include <stdlib.h>

#include "host/os.h"

namespace demo {

std::string ProgramDir() {
  char self[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return ".";
  std::string dir(self, n);
  return dir.substr(0, dir.find_last_of("\\/"));
}

void SetEnvVar(const std::string& name, const std::string& value) {
  // The C runtime's copy of the environment, which getenv reads.
  _putenv((name + "=" + value).c_str());
}

void PrepareConsole() {
  SetConsoleOutputCP(CP_UTF8);
  SetConsoleCP(CP_UTF8);
}

}  // namespace demo
