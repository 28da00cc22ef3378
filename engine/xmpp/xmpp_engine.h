// The XMPP engine object: a messaging engine that logs in to an XMPP server
// through libstrophe and reports what the server says through the agent's
// sink.
//
// Threads: each engine object runs a network thread of its own, which owns
// the libstrophe context and connection, and a delivery thread, which makes
// the sink calls. Engine calls made by the agent only queue work for the
// network thread and wake it through an eventfd; it waits in one poll()
// over that eventfd and the connection's socket, so a command reaches the
// wire at once and an idle engine wakes only for its timers (the keep-alive
// ping after 8 s without a word from the server, time-outs) and when the
// server speaks. The login calls wait for the network thread's answer, up to
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

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

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

// The engine's handling of what a server sends, without a network or
// threads: a session of `self_local`@domain that has just logged in (its
// roster request, presence and ping written, unanswered), fed stanzas as
// text. For tests and the fuzz target.
class InboundSession {
 public:
  // `predictable_ids`: the ids of the engine's IQs are "t1", "t2", ...
  // instead of random ones, so that a fuzzer can answer them.
  InboundSession(const Config& config, const std::string& self_local, bool predictable_ids);
  ~InboundSession();
  InboundSession(const InboundSession&) = delete;
  InboundSession& operator=(const InboundSession&) = delete;

  // Handles one stanza given as XML text, as if the server had sent it;
  // false when the text is not one stanza.
  bool Feed(const std::string& xml);
  // The agent's calls.
  void GetFriendList();
  void RequestUserInfo(int32_t user);
  void SendText(int32_t user, const std::string& utf8);
  // The packed rooms, as the agent hands them over.
  void SendRoomInfo(uint32_t count, const void* packed);
  // What the engine wrote since the last call, one stanza a line.
  std::vector<std::string> TakeSent();
  // Makes the sink calls collected so far, in order, on this thread, as
  // the delivery thread would; returns how many.
  size_t Deliver(IMsgLogicSink* sink);
  // The JID behind a user id (empty when none), and how many JIDs without
  // a number of ours have ids.
  std::string JidOf(int32_t id) const;
  size_t JidCount() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace xmpp_engine

#endif  // MSGLOGIC_ENGINE_XMPP_XMPP_ENGINE_H_
