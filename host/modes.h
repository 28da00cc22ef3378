// The demo's three ways to run. Each returns the process's exit code.
#ifndef MSGLOGIC_HOST_MODES_H_
#define MSGLOGIC_HOST_MODES_H_

#include <istream>

#include "MsgLogicEx.h"
#include "host/transcript.h"

namespace demo {

// The users of the demo's login file and of the stand-in engine's scenario
// that the tour relies on.
constexpr int32_t kMe = 10001;        // saved login by name, accepted
constexpr int32_t kRefused = 10009;   // saved login by name, refused
constexpr int32_t kEcho = 10008;      // a friend who echoes texts
constexpr int32_t kStranger = 20001;  // not a friend; answers texts
// Request B values the scenario answers by going silent / disconnecting.
constexpr int32_t kGoSilent = 98;
constexpr int32_t kDisconnect = 99;

// The scripted tour: every step checks what arrives on the callback.
// 0 when every step behaved as expected.
int RunTour(PFN_CreateMsgLogicEx create, Transcript* out);

// Logs in, has the engine go silent and waits for the agent to declare the
// connection lost (after 21 to 23 seconds). 0 when it did.
int RunTimeoutDemo(PFN_CreateMsgLogicEx create, Transcript* out);

// A command prompt on `in`.
int RunInteractive(PFN_CreateMsgLogicEx create, Transcript* out, std::istream& in);

}  // namespace demo

#endif  // MSGLOGIC_HOST_MODES_H_
