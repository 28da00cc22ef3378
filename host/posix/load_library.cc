#include <dlfcn.h>

#include "host/load_library.h"
#include "host/os.h"

namespace demo {

PFN_CreateMsgLogicEx LoadAgentFactory(const std::string& path, std::string* error) {
  // By default, beside the program.
  const std::string name = path.empty() ? ProgramDir() + "/libmsglogicex.so" : path;
  void* module = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    *error = dlerror();
    return nullptr;
  }
  void* symbol = dlsym(module, "CreateMsgLogicEx");
  if (symbol == nullptr) {
    *error = "CreateMsgLogicEx not found in " + name;
    return nullptr;
  }
  return reinterpret_cast<PFN_CreateMsgLogicEx>(symbol);
}

}  // namespace demo
