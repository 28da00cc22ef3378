// The stand-in engine object, made from a scenario.
//
// Threads: the engine runs two of its own, "replies" (answers to the
// agent's requests, the own id) and "notices" (activity and the scenario's
// reactions), so the agent sees events from both. Every sink call is made
// from one of them, never from inside a call the agent makes: engine calls
// only queue work. Each thread checks, under the engine's mutex, that the
// engine has not been released before every sink call and marks itself as
// being in a call until it returns. Release stops both and waits for each,
// with no time limit, a sink call under way included; so once it returns no
// sink call is under way or begins. The one exception is the calling thread
// itself (Release from inside a sink call): it is not waited for and ends
// when its call returns, without calling the sink again. The threads share
// the engine's state through a shared_ptr, so that thread outliving the
// engine object is safe.
#ifndef MSGLOGIC_ENGINE_STAND_IN_ENGINE_H_
#define MSGLOGIC_ENGINE_STAND_IN_ENGINE_H_

#include <functional>
#include <string>

#include "MsgLogic.h"
#include "engine/scenario.h"

namespace stand_in {

// Receives one line for each call the engine gets and for each problem it
// sees in one (those lines start with "warning: "). Called with the engine's
// mutex held: it must not call the engine.
using Journal = std::function<void(const std::string& line)>;

// A new engine running `scenario`, or null when its threads cannot start.
IMsgLogic* NewEngine(Scenario scenario, Journal journal);

}  // namespace stand_in

#endif  // MSGLOGIC_ENGINE_STAND_IN_ENGINE_H_
