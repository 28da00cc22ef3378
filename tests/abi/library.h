// Run-time loading for the host-side binary-interface test: the only
// OS-specific piece of it.
#ifndef MSGLOGIC_TESTS_ABI_LIBRARY_H_
#define MSGLOGIC_TESTS_ABI_LIBRARY_H_

#include <string>

// Loads the library at `path`; null on failure, with the reason in *error.
void* OpenLibrary(const std::string& path, std::string* error);
void* FindSymbol(void* library, const char* name);
// Gives up the reference OpenLibrary took (dlclose, FreeLibrary).
void CloseLibrary(void* library);
// Whether the library at `path` is loaded in the process now.
bool LibraryLoaded(const std::string& path);

#endif  // MSGLOGIC_TESTS_ABI_LIBRARY_H_
