#include <dlfcn.h>
#include <unistd.h>

#include "host/load_library.h"

namespace demo {

PFN_CreateMsgLogicEx LoadAgentFactory(const std::string& path, std::string* error) {
  std::string name = path;
  if (name.empty()) {
    // Beside the program: the directory of /proc/self/exe.
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = ".";
    if (n > 0) {
      self[n] = '\0';
      dir = self;
      dir = dir.substr(0, dir.rfind('/'));
    }
    name = dir + "/libmsglogicex.so";
  }
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
