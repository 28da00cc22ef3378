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
         (m_evStop.reset(m_env->NewEvent()), m_evStop != nullptr);
}

// Runs when the last owner leaves (see DropRef). Release has stopped the
// workers and released the engine before; nothing else runs inside the agent.
CMsgLogicAgent::~CMsgLogicAgent() {
  delete m_evHostCalls.load();
  m_csActive.Delete();
  m_csKeepAlive.Delete();
  m_csFriend.Delete();
  m_csFriendValue.Delete();
  m_csPendingText.Delete();
  m_csMsgLogic.Delete();
}

void CMsgLogicAgent::DropRef() {
  if (m_nRefs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
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

thread_local CMsgLogicAgent::HostCall* CMsgLogicAgent::t_hostCall = nullptr;
thread_local bool CMsgLogicAgent::t_onWorker = false;

// A call begins only while a callback is registered, so once Release has
// cleared it no event is counted at all. One that saw the callback counts
// itself, then reads it again; Release clears the callback before it reads
// the count (all sequentially consistent): either this call sees no
// callback at its second look, or Release sees it in flight. A call that
// counted itself and then found no callback has not begun, and ends like
// any other, waking a Release that counted it.
CMsgLogicAgent::HostCall::HostCall(CMsgLogicAgent* agent) : agent_(agent) {
  if (agent_->Callback() == nullptr) return;
  agent_->m_nHostCalls.fetch_add(1);
  callback_ = agent_->Callback();
  if (callback_ == nullptr) {
    agent_->EndHostCall();
    return;
  }
  outer_ = t_hostCall;
  t_hostCall = this;
  if (t_onWorker) agent_->m_nWorkerHostCalls.fetch_add(1);
}

CMsgLogicAgent::HostCall::~HostCall() {
  if (callback_ == nullptr) return;
  t_hostCall = outer_;
  if (t_onWorker) agent_->m_nWorkerHostCalls.fetch_sub(1);
  agent_->EndHostCall();
}

// Release publishes its event before the count it awaits, and reads the
// count after publishing both: it either sees this end or is woken by it.
void CMsgLogicAgent::EndHostCall() {
  if (m_nHostCalls.fetch_sub(1) - 1 <= m_nHostCallsAwaited.load()) {
    if (Event* done = m_evHostCalls.load()) done->Set();
  }
}

void CMsgLogicAgent::WaitForHostCalls() {
  int32_t own = 0;
  for (const HostCall* call = t_hostCall; call != nullptr; call = call->outer_) {
    if (call->agent_ == this) ++own;
  }
  if (m_nHostCalls.load() <= own) return;
  Event* done = m_env->NewEvent();
  bool ended = false;
  if (done != nullptr) {  // else nothing to wait with: go on at once
    m_evHostCalls.store(done);
    m_nHostCallsAwaited.store(own);
    ended = m_nHostCalls.load() <= own || done->Wait(kWorkerJoinMs);
  }
  // A call still under way on a thread that is not the agent's (an engine
  // thread) will come back through this module's code after Release has
  // returned, when the host may have unloaded the library: it stays loaded.
  // A worker keeps the module loaded itself (this thread's own calls are
  // counted among the workers' when it is one).
  const int32_t own_elsewhere = t_onWorker ? 0 : own;
  if (!ended && m_nHostCalls.load() - m_nWorkerHostCalls.load() - own_elsewhere > 0) {
    m_env->KeepModuleLoaded();
  }
}

int32_t CMsgLogicAgent::Release() noexcept {
  // From here on nothing is reported to the host: it may free its callback
  // object as soon as Release returns. A callback that read the callback
  // just before is still to be made, so those under way on other threads
  // are waited for (bounded, like the workers).
  m_pCallback.store(nullptr);
  m_Sink.SetCallback(nullptr);
  WaitForHostCalls();

  m_bThreadRun.store(false);
  m_evStop->Set();
  Thread* workers[2];
  {
    LockHolder hold(&m_csMsgLogic);
    workers[0] = m_hSuperviseThread;
    workers[1] = m_hReleaseThread;
    m_hSuperviseThread = nullptr;
    m_hReleaseThread = nullptr;
  }
  // Each wait is bounded; a worker that runs on keeps its own reference.
  // When Release is called on a worker (from a callback), that worker is not
  // waited for: it ends when it returns to its loop.
  for (Thread* worker : workers) {
    if (worker == nullptr) continue;
    if (!worker->IsCurrent()) worker->Join(kWorkerJoinMs);
    delete worker;
  }

  {
    LockHolder hold(&m_csMsgLogic);
    ReleaseEngine();
  }
  m_bEnable.store(false);
  ClearCaches();
  m_nSelfId.store(-1);

  DropRef();  // the host's reference
  return 0;
}

void* CMsgLogicAgent::Destroy(uint32_t flags) noexcept {
  void* self = this;
  Release();
  return (flags & MSG_DESTROY_FREE) != 0 ? self : nullptr;
}

void CMsgLogicAgent::ReleaseEngine() {
  IMsgLogic* engine = m_pMsgLogic;
  m_pMsgLogic = nullptr;
  m_bReleasePending = false;
  if (engine != nullptr) engine->Release();
}

void CMsgLogicAgent::ClearCaches() {
  {
    LockHolder hold(&m_csFriend);
    m_mapFriend.clear();
  }
  {
    LockHolder hold(&m_csFriendValue);
    m_mapFriendValue.clear();
    ++m_nFriendValueClears;
  }
  {
    LockHolder hold(&m_csPendingText);
    m_mapPendingText.clear();
  }
}

}  // namespace msglogic
