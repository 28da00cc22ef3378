// Loads the agent library at run time, as a real host does.
#ifndef MSGLOGIC_HOST_LOAD_LIBRARY_H_
#define MSGLOGIC_HOST_LOAD_LIBRARY_H_

#include <string>

#include "MsgLogicEx.h"

namespace demo {

// Loads the agent library (by `path`, or by its usual name beside the
// program when empty) and returns its CreateMsgLogicEx, or null with a
// reason in *error. The library stays loaded for the life of the process.
PFN_CreateMsgLogicEx LoadAgentFactory(const std::string& path, std::string* error);

}  // namespace demo

#endif  // MSGLOGIC_HOST_LOAD_LIBRARY_H_
