// The XMPP engine object: a messaging engine that logs in to an XMPP server
// through libstrophe and reports what the server says through the agent's
// sink.
//
// Threads: each engine object runs a network thread of its own, which owns
// the libstrophe context and connection, and a delivery thread, which makes
// the sink calls. Engine calls made by the agent only queue work for the
// network thread and wake it through an eventfd; it waits in one poll()
// over that eventfd and the connection's socket, so a command reaches the
// wire at once and an idle engine wakes only for its timers (at most twice
// a second). The login calls wait for the network thread's answer, up to
// the login time-out. The network thread never calls the sink and never
// waits for the agent: it hands each turn's sink calls, in order, to the
// delivery thread, so a login gets through even while a sink call waits for
// the lock held by the login's caller. The delivery thread checks, under
// the engine's mutex, that the engine has not been released before every
// sink call and marks itself as being in a call until the call returns; no
// sink call is made inside a call of the agent. Release stops both threads
// and waits for each, with no time limit, a sink call under way included:
// once it returns no sink call is under way or begins. Called on the
// delivery thread (from inside a sink call), it does not wait for that
// thread, which ends when its call returns without touching the sink again.
#ifndef MSGLOGIC_ENGINE_XMPP_XMPP_ENGINE_H_
#define MSGLOGIC_ENGINE_XMPP_XMPP_ENGINE_H_

#include <functional>
#include <string>

#include "MsgLogic.h"
#include "engine/xmpp/config.h"

namespace xmpp_engine {

// Receives one line for each call the engine gets and for each problem it
// sees (those lines start with "warning: "). Called on any thread, with no
// lock of the engine held.
using Journal = std::function<void(const std::string& line)>;

// A new engine for `config`, or null when its thread cannot start.
// `libstrophe_log` turns on libstrophe's own debug log on standard error.
IMsgLogic* NewEngine(const Config& config, Journal journal, bool libstrophe_log);

}  // namespace xmpp_engine

#endif  // MSGLOGIC_ENGINE_XMPP_XMPP_ENGINE_H_
