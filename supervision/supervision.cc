// Connection supervision: the two workers, the supervision pass, the reset
// after a loss, and the engine events that feed them.
#include "agent/msg_logic_agent.h"

namespace msglogic {

// Supervision worker. Runs inside the call Connect entered for it.
void CMsgLogicAgent::SuperviseThreadProc(void* arg) {
  auto* agent = static_cast<CMsgLogicAgent*>(arg);
  Call life(agent, Call::Adopt{});
  while (agent->m_bThreadRun.load()) {
    try {
      agent->CheckConnection();
    } catch (...) {
      // A pass that could not finish is retried at the next one.
    }
    agent->m_evStop->Wait(kWorkerPassMs);
  }
}  // `life` leaves (agent/lifetime.cc)

// Release worker: releases an engine that Reset marked, with no agent lock
// held (a sink call it waits for may wait for one). Runs inside the call
// Connect entered for it. The engine is never released on an engine thread
// or on the supervision worker this way.
void CMsgLogicAgent::ReleaseThreadProc(void* arg) {
  auto* agent = static_cast<CMsgLogicAgent*>(arg);
  Call life(agent, Call::Adopt{});
  while (agent->m_bThreadRun.load()) {
    IMsgLogic* marked = nullptr;
    {
      LockHolder hold(&agent->m_csMsgLogic);
      if (agent->m_bReleasePending) {
        marked = agent->m_pMsgLogic;
        agent->m_pMsgLogic = nullptr;
        agent->m_bReleasePending = false;
      }
    }
    if (marked != nullptr) marked->Release();
    agent->m_evStop->Wait(kWorkerPassMs);
  }
}

// Supervision worker.
void CMsgLogicAgent::CheckConnection() {
  if (!m_bEnable.load()) return;
  const int32_t now = m_env->Time();
  bool lost;
  {
    LockHolder hold(&m_csActive);
    lost = SecondsSince(now, m_tLastActive) > g_nActiveTimeout;
  }
  if (lost) {
    // No keep-alive in a pass that declares the loss.
    ConnectionLost();
    return;
  }
  LockHolder keep_alive(&m_csKeepAlive);
  if (SecondsSince(now, m_tLastKeepAlive) > g_nKeepAliveInterval) {
    {
      LockHolder engine(&m_csMsgLogic);
      if (m_pMsgLogic != nullptr) m_pMsgLogic->KeepAlive();
    }
    // Stamped even when there was no engine to call.
    m_tLastKeepAlive = m_env->Time();
  }
}

// Supervision worker or engine thread. The host hears of the loss first,
// with no lock held, while the login's state is still in place; then the
// session current when the loss was detected ends. A login the engine
// accepts while the host is being told (from inside the callback, or on
// another thread) has ended that session already and is not undone, while
// a loss reported once the engine has accepted a login is that login's,
// even if its Connect has not returned yet.
void CMsgLogicAgent::ConnectionLost() {
  const uint32_t session = Session();
  if (HostCall callback{this}) callback->OnConnectionLost();
  EndSession(session);
}

void CMsgLogicAgent::Reset() { EndSession(Session()); }

// Engine thread.
int32_t CMsgLogicAgent::OnActivity() {
  LockHolder hold(&m_csActive);
  m_tLastActive = m_env->Time();
  return 0;
}

// Engine thread. Reports and resets whether or not the agent is logged in.
void CMsgLogicAgent::OnDisconnect() { ConnectionLost(); }

}  // namespace msglogic
