// Entry point of the agent DLL. Loading and unloading only register the
// module with the host's application framework; everything else waits until
// the host calls the factory.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/module_registry.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      msglogic::RegisterExtensionModule(instance);
      break;
    case DLL_PROCESS_DETACH:
      msglogic::UnregisterExtensionModule(instance);
      break;
    default:
      break;
  }
  return TRUE;
}
