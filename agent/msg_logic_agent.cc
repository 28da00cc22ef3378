#include "agent/msg_logic_agent.h"

#include <new>

namespace msglogic {

const int32_t g_nActiveTimeout = 20;
const int32_t g_nKeepAliveInterval = 20;

CMsgLogicAgent* CMsgLogicAgent::Create(Env* env) noexcept {
  auto* agent = new (std::nothrow) CMsgLogicAgent(env);
  if (agent != nullptr && !agent->Init()) {
    delete agent;
    agent = nullptr;
  }
  return agent;
}

// The caches, the sink, the pointers and flags are set up by their member
// initialisers, in that order; the locks follow in Init.
CMsgLogicAgent::CMsgLogicAgent(Env* env) : m_env(env), m_Sink(this) {}

bool CMsgLogicAgent::Init() {
  return m_csActive.Init(m_env, "m_csActive") &&
         m_csKeepAlive.Init(m_env, "m_csKeepAlive") &&
         m_csFriend.Init(m_env, "m_csFriend") &&
         m_csFriendValue.Init(m_env, "m_csFriendValue") &&
         m_csPendingText.Init(m_env, "m_csPendingText") &&
         m_csMsgLogic.Init(m_env, "m_csMsgLogic") &&
         (m_evStop.reset(m_env->NewEvent()), m_evStop != nullptr) &&
         (m_evCalls.reset(m_env->NewEvent()), m_evCalls != nullptr);
}

// Runs when the last call has left the released agent (agent/lifetime.cc):
// the workers have stopped and the engine is released; nothing else runs
// inside the agent.
CMsgLogicAgent::~CMsgLogicAgent() {
  m_csActive.Delete();
  m_csKeepAlive.Delete();
  m_csFriend.Delete();
  m_csFriendValue.Delete();
  m_csPendingText.Delete();
  m_csMsgLogic.Delete();
}

void* CMsgLogicAgent::GetInterface(int32_t id) noexcept {
  return id == MSG_IID_LOGICEX ? static_cast<IMsgLogicEx*>(this) : nullptr;
}

IMsgLogicExCallback* CMsgLogicAgent::SetCallback(IMsgObject* obj,
                                                 int32_t id) noexcept {
  if (id == MSG_IID_LOGICEX_CALLBACK) {
    IMsgLogicExCallback* callback = nullptr;
    if (obj != nullptr) {
      callback = static_cast<IMsgLogicExCallback*>(
          obj->GetInterface(MSG_IID_LOGICEX_CALLBACK));
    }
    m_pCallback.store(callback);
  }
  // The agent and its sink always report to the same object.
  IMsgLogicExCallback* registered = m_pCallback.load();
  m_Sink.SetCallback(registered);
  return registered;
}

void* CMsgLogicAgent::Destroy(uint32_t flags) noexcept {
  void* self = this;
  Release();
  return (flags & MSG_DESTROY_FREE) != 0 ? self : nullptr;
}

}  // namespace msglogic
