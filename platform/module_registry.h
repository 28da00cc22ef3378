// The host application framework's list of extension modules. A module (the
// agent DLL on Windows) registers itself when it is loaded into the host and
// deregisters when it is unloaded; nothing else is tied to registration.
// Thread-safe, and safe to call while the loader lock is held.
#ifndef MSGLOGIC_PLATFORM_MODULE_REGISTRY_H_
#define MSGLOGIC_PLATFORM_MODULE_REGISTRY_H_

namespace msglogic {

// Records `module_handle` (on Windows the module's HINSTANCE) as loaded; a
// null handle is ignored.
void RegisterExtensionModule(void* module_handle);

// Forgets one registration of `module_handle`; a handle that was never
// registered is ignored.
void UnregisterExtensionModule(void* module_handle);

// The number of registrations not yet withdrawn.
int RegisteredExtensionModules();

}  // namespace msglogic

#endif  // MSGLOGIC_PLATFORM_MODULE_REGISTRY_H_
