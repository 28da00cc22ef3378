// How long the agent lives, how long a login's state lives, and what
// Release waits for: one mechanism, two counters, checked here alone.
//
// Calls. Every thread that works inside the agent does so inside a Call: a
// host command, a sink call from the engine, Release itself, and each worker
// for its whole life (entered for it by the Connect that starts it).
//  C1. m_nCalls counts the calls inside. A call is counted before it does
//      anything and leaves last thing, after every lock and every host
//      callback it made is over.
//  C2. Release sets kReleased in m_nCalls. A call is counted in only while
//      kReleased is clear, in one step with that test (TryEnter); a call
//      that finds it set is never counted and does nothing (a sink call
//      answers its fixed result). So the calls Release waits for are
//      exactly those that began before it.
//  C3. Release waits, kWorkerJoinMs at most, until the only calls left are
//      its own thread's (Release from inside a callback) and the workers';
//      then stops the workers and waits for each, kWorkerJoinMs at most.
//      Host callbacks are made only inside calls, and the callback is
//      cleared as Release begins: once Release returns none begins, and
//      those under way have been waited for as long as the bound allows.
//  C4. A call still inside after those waits, on a thread that is not a
//      worker, will come back through this module's code after Release has
//      returned: Release pins the module (a worker keeps it loaded itself).
//  C5. The engine is released with no agent lock held. Release does it
//      itself unless a call of C4 is still inside (the engine's Release
//      would wait for it without bound); then the last call to leave does
//      it. Once the engine's Release has returned no sink call is under way
//      or begins (the engine's contract, include/MsgLogic.h), so:
//  C6. The last call to leave a released agent ends it: releases the
//      engine if it is still there, and frees the memory. Nothing else
//      frees it, and nothing touches it afterwards.
//
// Sessions. A login the engine accepts begins a session; its loss, a later
// login or Release ends it. m_nSession numbers the current one.
//  S1. m_nSession changes only under m_csMsgLogic: at the login (in the same
//      hold as the engine's answer), at a loss (EndSession) and in Release.
//      Between logins the agent is in a session of its own, offline.
//  S2. Each table (friends, friend values, pending texts) carries the
//      session whose state it holds, read and written under the table's own
//      lock. Every use of a table first brings it to the current session
//      (Fresh*), emptying it if it held an earlier one's. The own id carries
//      its session in the same atomic word. So a session never sees what an
//      earlier one learned, whoever ends it and on whatever thread. Each
//      hold of a table's lock works on the session current at that moment:
//      an engine event that straddles the end of a session (the agent
//      cannot tell when the engine produced it) puts what it writes after
//      the end into the new session's state, as if it had come then.
//  S3. An engine call that carries a session's state (own id, a friend's
//      value, a queued text) is made under m_csMsgLogic only while that
//      session is still current; so no engine call of one login carries
//      another's state.
//  S4. Ending a session marks the engine for the release worker and clears
//      m_bEnable, only if that session is still current: a login accepted
//      meanwhile (also from inside OnConnectionLost) decides the state
//      itself. Then every table is brought to the current session (Tidy),
//      which never empties a newer session's state.
//
// Lock order is that of agent/msg_logic_agent.h; nothing here nests locks,
// and no agent lock is held across the engine's Release.
#include "agent/msg_logic_agent.h"

namespace msglogic {
namespace {

constexpr uint32_t kReleased = 0x80000000u;  // Release has begun
constexpr uint32_t kCountMask = 0x7FFFFFFFu;

uint64_t PackSelfId(uint32_t session, int32_t id) {
  return (uint64_t{session} << 32) | static_cast<uint32_t>(id);
}
uint32_t SessionOf(uint64_t self) { return static_cast<uint32_t>(self >> 32); }

// Whether session `a` began after session `b` (numbers wrap).
bool Later(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

}  // namespace

thread_local CMsgLogicAgent::Call* CMsgLogicAgent::t_call = nullptr;

// --- Calls ---

CMsgLogicAgent::Call::Call(CMsgLogicAgent* agent) : agent_(agent) {
  if (!agent_->TryEnter()) return;  // C2: begins nothing
  entered_ = true;
  outer_ = t_call;
  t_call = this;
}

CMsgLogicAgent::Call::Call(CMsgLogicAgent* agent, Adopt)
    : agent_(agent), entered_(true), worker_(true) {
  outer_ = t_call;
  t_call = this;
}

CMsgLogicAgent::Call::~Call() {
  if (!entered_) return;
  t_call = outer_;
  if (worker_) {
    agent_->LeaveWorkerCall();
  } else {
    agent_->LeaveCall();
  }
}

// C2. The count is raised only while Release has not begun, in one step
// with the test: a refused call is never counted, not even for a moment, so
// that Release sees exactly the calls that began.
bool CMsgLogicAgent::TryEnter() {
  uint32_t calls = m_nCalls.load();
  do {
    if ((calls & kReleased) != 0) return false;
  } while (!m_nCalls.compare_exchange_weak(calls, calls + 1));
  return true;
}

bool CMsgLogicAgent::EnterForWorker() {
  if (!TryEnter()) return false;
  m_nWorkerCalls.fetch_add(1);
  return true;
}

void CMsgLogicAgent::LeaveWorkerCall() {
  m_nWorkerCalls.fetch_sub(1);
  LeaveCall();
}

// Release publishes what it awaits before it reads the count (all
// sequentially consistent): it either sees this call gone or is woken by it.
void CMsgLogicAgent::LeaveCall() {
  const uint32_t now = m_nCalls.fetch_sub(1) - 1;
  if ((now & kReleased) == 0) return;
  if ((now & kCountMask) == 0) {
    End();  // C6: no call can begin any more, and this was the last
    return;
  }
  if (static_cast<int32_t>(now & kCountMask) <= m_nCallsAwaited.load()) m_evCalls->Set();
}

// C6. The engine's Release may run on one of its own threads, inside the
// sink call whose leaving brought us here: the engine allows that.
void CMsgLogicAgent::End() {
  ReleaseEngine();
  delete this;
}

int32_t CMsgLogicAgent::OwnCalls() const {
  int32_t own = 0;
  for (const Call* call = t_call; call != nullptr; call = call->outer_) {
    if (call->agent_ == this) ++own;
  }
  return own;
}

void CMsgLogicAgent::WaitForCalls(int32_t rest) {
  m_nCallsAwaited.store(rest);
  if (static_cast<int32_t>(m_nCalls.load() & kCountMask) > rest) m_evCalls->Wait(kWorkerJoinMs);
}

// g++ takes the innermost call of the thread, which `self` is until it
// leaves (and it is taken off again then), for a pointer left dangling.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
int32_t CMsgLogicAgent::Release() noexcept {
  Call self(this);
  if (!self) return 0;  // released already
  m_nCalls.fetch_or(kReleased);  // C2
  // From here on nothing is reported to the host: it may free its callback
  // object as soon as Release returns.
  m_pCallback.store(nullptr);
  m_Sink.SetCallback(nullptr);

  Thread* workers[2];
  {
    LockHolder hold(&m_csMsgLogic);
    workers[0] = m_hSuperviseThread;
    workers[1] = m_hReleaseThread;
    m_hSuperviseThread = nullptr;
    m_hReleaseThread = nullptr;
  }
  // C3. Each running worker is one call; a worker that is this thread is
  // among its own calls.
  const int32_t own = OwnCalls();
  int32_t other_workers = 0;
  for (Thread* worker : workers) other_workers += worker != nullptr && !worker->IsCurrent();
  WaitForCalls(own + other_workers);

  m_bThreadRun.store(false);
  m_evStop->Set();
  // When Release is called on a worker (from a callback), that worker is
  // not waited for: it ends when it returns to its loop.
  for (Thread* worker : workers) {
    if (worker == nullptr) continue;
    if (!worker->IsCurrent()) worker->Join(kWorkerJoinMs);
    delete worker;
  }

  // C4, C5. A worker still inside (its join timed out, or this thread is
  // one, counted in `own` already) is not among the others; one that
  // leaves between the two reads is counted as another, which only keeps
  // the module and the engine a little longer (C6 releases it).
  int32_t own_worker = 0;
  for (const Call* call = t_call; call != nullptr; call = call->outer_) {
    if (call->agent_ == this && call->worker_) ++own_worker;
  }
  const int32_t calls = static_cast<int32_t>(m_nCalls.load() & kCountMask);
  const int32_t others = calls - own - (m_nWorkerCalls.load() - own_worker);
  if (others > 0) {
    m_env->KeepModuleLoaded();
  } else {
    ReleaseEngine();
  }
  {
    LockHolder hold(&m_csMsgLogic);
    m_nSession.store(m_nSession.load() + 1);
    m_bEnable.store(false);
  }
  Tidy();
  return 0;
}  // `self` leaves: C6
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

void CMsgLogicAgent::ReleaseEngine() {
  IMsgLogic* engine;
  {
    LockHolder hold(&m_csMsgLogic);
    engine = m_pMsgLogic;
    m_pMsgLogic = nullptr;
    m_bReleasePending = false;
  }
  if (engine != nullptr) engine->Release();
}

// --- Sessions ---

void CMsgLogicAgent::EndSession(uint32_t session) {
  {
    LockHolder hold(&m_csMsgLogic);
    if (m_nSession.load() != session) return;  // S4: ended already
    // The release worker disposes of it at its next pass.
    if (m_pMsgLogic != nullptr) m_bReleasePending = true;
    m_nLostSession = session;
    m_nSession.store(session + 1);
    m_bEnable.store(false);
  }
  Tidy();
}

void CMsgLogicAgent::Tidy() {
  {
    LockHolder hold(&m_csFriend);
    FreshFriends();
  }
  {
    LockHolder hold(&m_csFriendValue);
    FreshFriendValues();
  }
  {
    LockHolder hold(&m_csPendingText);
    FreshPending();
  }
  const uint32_t session = Session();
  uint64_t self = m_nSelfId.load();
  while (Later(session, SessionOf(self)) &&
         !m_nSelfId.compare_exchange_weak(self, PackSelfId(session, -1))) {
  }
}

void CMsgLogicAgent::FreshFriends() {
  const uint32_t session = Session();
  if (!Later(session, m_nFriendSession)) return;
  m_mapFriend.clear();
  m_nFriendSession = session;
}

void CMsgLogicAgent::FreshFriendValues() {
  const uint32_t session = Session();
  if (!Later(session, m_nFriendValueSession)) return;
  m_mapFriendValue.clear();
  ++m_nFriendValueClears;
  m_nFriendValueSession = session;
}

void CMsgLogicAgent::FreshPending() {
  const uint32_t session = Session();
  if (!Later(session, m_nPendingSession)) return;
  m_mapPendingText.clear();
  m_nPendingSession = session;
}

int32_t CMsgLogicAgent::SelfIdOf(uint32_t session) const {
  const uint64_t self = m_nSelfId.load();
  return SessionOf(self) == session ? static_cast<int32_t>(static_cast<uint32_t>(self)) : -1;
}

// Engine thread. Stores the id for the current session, never over the id
// of a later one; the host is not told.
int32_t CMsgLogicAgent::OnSelfId(RecordView selfId) {
  if (!selfId.Has(0, 4)) return 0;
  const uint32_t session = Session();
  uint64_t self = m_nSelfId.load();
  while (!Later(SessionOf(self), session) &&
         !m_nSelfId.compare_exchange_weak(self, PackSelfId(session, selfId.I32(0)))) {
  }
  return 0;
}

}  // namespace msglogic
