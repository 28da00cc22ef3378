#include "platform/module_registry.h"

#include <mutex>

namespace msglogic {
namespace {

// A fixed table: registration happens inside the loader's module entry
// point, where allocating or waiting on other threads is best avoided.
constexpr int kMaxModules = 16;

std::mutex registry_mu;  // constant-initialized: usable before constructors run
void* registered[kMaxModules];  // guarded by registry_mu
int registered_count = 0;       // guarded by registry_mu

}  // namespace

void RegisterExtensionModule(void* module_handle) {
  std::lock_guard<std::mutex> hold(registry_mu);
  // A host loads a handful of extension modules; past the table's size a
  // registration is dropped rather than failing the module's load.
  if (registered_count < kMaxModules) {
    registered[registered_count++] = module_handle;
  }
}

void UnregisterExtensionModule(void* module_handle) {
  std::lock_guard<std::mutex> hold(registry_mu);
  for (int i = registered_count - 1; i >= 0; --i) {
    if (registered[i] == module_handle) {
      registered[i] = registered[--registered_count];
      return;
    }
  }
}

int RegisteredExtensionModules() {
  std::lock_guard<std::mutex> hold(registry_mu);
  return registered_count;
}

}  // namespace msglogic
