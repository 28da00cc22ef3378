// Run-time loading for the host-side binary-interface test: the only
// OS-specific piece of it.
#ifndef MSGLOGIC_TESTS_ABI_LIBRARY_H_
#define MSGLOGIC_TESTS_ABI_LIBRARY_H_

#include <string>

// Loads the library at `path` (kept loaded for the life of the process);
// null on failure, with the reason in *error.
void* OpenLibrary(const std::string& path, std::string* error);
void* FindSymbol(void* library, const char* name);

#endif  // MSGLOGIC_TESTS_ABI_LIBRARY_H_
