// Text delivery and pending texts.
#include "agent/msg_logic_agent.h"

namespace msglogic {

int32_t CMsgLogicAgent::SendText(int32_t, const char*) noexcept {
  if (!m_bEnable.load()) return -1;
  return 0;
}

int32_t CMsgLogicAgent::ContactUser(int32_t) noexcept {
  if (!m_bEnable.load()) return -1;
  return -1;
}

int32_t CMsgLogicAgent::OnUserInfo(RecordView) { return 1; }

int32_t CMsgLogicAgent::FlushPendingText(int32_t, int32_t) { return 0; }

}  // namespace msglogic
