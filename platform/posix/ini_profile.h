// The Win32 private-profile reads, for systems that lack them: an INI reader
// that gives the results GetPrivateProfileSectionA and
// GetPrivateProfileStringA give on Windows, over files named with either
// path separator.
#ifndef MSGLOGIC_PLATFORM_POSIX_INI_PROFILE_H_
#define MSGLOGIC_PLATFORM_POSIX_INI_PROFILE_H_

#include <stdint.h>

#include <string>

namespace msglogic {

// `path` with every '\' turned into '/', so that ".\dir\file.ini" names
// "./dir/file.ini".
std::string ToPosixPath(const char* path);

// As GetPrivateProfileSectionA (see Env::ProfileSection).
uint32_t ReadProfileSection(const char* section, char* buffer, uint32_t size,
                            const char* path);

// As GetPrivateProfileStringA with a non-null section and key
// (see Env::ProfileString).
uint32_t ReadProfileString(const char* section, const char* key,
                           const char* default_value, char* buffer,
                           uint32_t size, const char* path);

}  // namespace msglogic

#endif  // MSGLOGIC_PLATFORM_POSIX_INI_PROFILE_H_
