// Host commands passed to the engine as they come.
#include <cstdio>

#include "agent/msg_logic_agent.h"

namespace msglogic {

// Host threads. Each returns -1 at once while not logged in, before taking
// any lock; otherwise the engine is called under m_csMsgLogic when there is
// one, and the result is 0 either way.

int32_t CMsgLogicAgent::ForwardRequestA(int32_t value) noexcept {
  if (!m_bEnable.load()) return -1;
  Call call(this);
  if (!call) return -1;
  LockHolder hold(&m_csMsgLogic);
  if (m_pMsgLogic != nullptr) m_pMsgLogic->RequestA(value);
  return 0;
}

int32_t CMsgLogicAgent::ForwardRequestB(int32_t value) noexcept {
  if (!m_bEnable.load()) return -1;
  Call call(this);
  if (!call) return -1;
  LockHolder hold(&m_csMsgLogic);
  if (m_pMsgLogic != nullptr) m_pMsgLogic->RequestB(value);
  return 0;
}

int32_t CMsgLogicAgent::ForwardRequestC() noexcept {
  if (!m_bEnable.load()) return -1;
  Call call(this);
  if (!call) return -1;
  LockHolder hold(&m_csMsgLogic);
  if (m_pMsgLogic != nullptr) m_pMsgLogic->RequestC();
  return 0;
}

// Writes two trace lines per call: the entry line, then either the
// not-logged-in line or the result line (which ends in a blank).
int32_t CMsgLogicAgent::GetFriendList() noexcept {
  WriteTrace("CMsgLogicAgent::GetFriendList");
  if (!m_bEnable.load()) {
    WriteTrace("CMsgLogicAgent::GetFriendList:!m_bEnable!");
    return -1;
  }
  Call call(this);
  if (!call) return -1;
  const int32_t result = 0;
  {
    LockHolder hold(&m_csMsgLogic);
    if (m_pMsgLogic != nullptr) m_pMsgLogic->GetFriendList();
  }
  char line[1024] = {};
  std::snprintf(line, sizeof line, "CMsgLogicAgent::GetFriendList:retval = %d ",
                static_cast<int>(result));
  WriteTrace(line);
  return result;
}

}  // namespace msglogic
