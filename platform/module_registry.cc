#include "platform/module_registry.h"

#include <atomic>

namespace msglogic {
namespace {

// A fixed table of slots claimed and released with atomic exchanges: no
// constructor to run, no allocation and no waiting, so it works from a
// loader entry point, before or after the module's static constructors.
// A host loads a handful of extension modules; past the table's size a
// registration is dropped rather than failing the module's load.
constexpr int kMaxModules = 16;
std::atomic<void*> slots[kMaxModules];  // null: free

}  // namespace

void RegisterExtensionModule(void* module_handle) {
  if (module_handle == nullptr) return;
  for (auto& slot : slots) {
    void* expected = nullptr;
    if (slot.compare_exchange_strong(expected, module_handle)) return;
  }
}

void UnregisterExtensionModule(void* module_handle) {
  if (module_handle == nullptr) return;
  for (auto& slot : slots) {
    void* expected = module_handle;
    if (slot.compare_exchange_strong(expected, nullptr)) return;
  }
}

int RegisteredExtensionModules() {
  int count = 0;
  for (auto& slot : slots) {
    if (slot.load() != nullptr) ++count;
  }
  return count;
}

}  // namespace msglogic
