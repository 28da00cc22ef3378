// The few things the demo host needs from the operating system.
#ifndef MSGLOGIC_HOST_OS_H_
#define MSGLOGIC_HOST_OS_H_

#include <string>

namespace demo {

// The folder of the running program, without a trailing separator.
std::string ProgramDir();

// Sets an environment variable of this process, as getenv then sees it.
void SetEnvVar(const std::string& name, const std::string& value);

// Makes the terminal show UTF-8 (the transcript's encoding).
void PrepareConsole();

}  // namespace demo

#endif  // MSGLOGIC_HOST_OS_H_
