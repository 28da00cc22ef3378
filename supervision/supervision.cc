// Connection supervision: the two workers, the supervision pass, the reset
// after a loss, and the engine events that feed them.
#include "agent/msg_logic_agent.h"

namespace msglogic {

// Supervision worker. Owns one reference to the agent, given by Connect.
void CMsgLogicAgent::SuperviseThreadProc(void* arg) {
  t_onWorker = true;
  auto* agent = static_cast<CMsgLogicAgent*>(arg);
  while (agent->m_bThreadRun.load()) {
    try {
      agent->CheckConnection();
    } catch (...) {
      // A pass that could not finish is retried at the next one.
    }
    agent->m_evStop->Wait(kWorkerPassMs);
  }
  agent->DropRef();
}

// Release worker: releases an engine that Reset marked. Owns one reference
// to the agent, given by Connect. The engine is never released on an engine
// thread or on the supervision worker this way.
void CMsgLogicAgent::ReleaseThreadProc(void* arg) {
  t_onWorker = true;
  auto* agent = static_cast<CMsgLogicAgent*>(arg);
  while (agent->m_bThreadRun.load()) {
    {
      LockHolder hold(&agent->m_csMsgLogic);
      if (agent->m_bReleasePending && agent->m_pMsgLogic != nullptr) {
        agent->ReleaseEngine();
      }
    }
    agent->m_evStop->Wait(kWorkerPassMs);
  }
  agent->DropRef();
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
// agent resets. The loss is of the login current when it is detected: a
// login the engine accepts while the host is being told (from inside the
// callback, or on another thread) supersedes it and is not undone, while a
// loss reported once the engine has accepted a login is that login's, even
// if its Connect has not returned yet.
void CMsgLogicAgent::ConnectionLost() {
  const uint32_t generation = m_nLoginGeneration.load();
  if (HostCall callback{this}) callback->OnConnectionLost();
  ResetLogin(generation);
}

void CMsgLogicAgent::Reset() { ResetLogin(m_nLoginGeneration.load()); }

void CMsgLogicAgent::ResetLogin(uint32_t generation) {
  {
    LockHolder hold(&m_csMsgLogic);
    if (m_nLoginGeneration.load() != generation) return;  // superseded
    // The release worker disposes of it at its next pass.
    if (m_pMsgLogic != nullptr) m_bReleasePending = true;
    // With the mark, so that a Connect of this login still under way sees
    // the loss and does not count the agent logged in.
    m_nLostGeneration = generation;
    m_bEnable.store(false);
  }
  ClearCaches();
  m_nSelfId.store(-1);
}

// Engine thread.
int32_t CMsgLogicAgent::OnActivity() {
  LockHolder hold(&m_csActive);
  m_tLastActive = m_env->Time();
  return 0;
}

// Engine thread. Reports and resets whether or not the agent is logged in.
void CMsgLogicAgent::OnDisconnect() { ConnectionLost(); }

}  // namespace msglogic
