#include <windows.h>

#include "host/load_library.h"

namespace demo {

PFN_CreateMsgLogicEx LoadAgentFactory(const std::string& path, std::string* error) {
  // By default the system finds the DLL beside the program.
  std::string name = path.empty() ? std::string("msglogicex.dll") : path;
  HMODULE module = LoadLibraryA(name.c_str());
  if (module == nullptr) {
    *error = "LoadLibrary(" + name + ") failed, error " + std::to_string(GetLastError());
    return nullptr;
  }
  FARPROC symbol = GetProcAddress(module, "CreateMsgLogicEx");
  if (symbol == nullptr) {
    *error = "CreateMsgLogicEx not found in " + name;
    return nullptr;
  }
  return reinterpret_cast<PFN_CreateMsgLogicEx>(reinterpret_cast<void*>(symbol));
}

}  // namespace demo
