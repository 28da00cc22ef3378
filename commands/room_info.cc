// Room information: the host's records packed for the engine.
#include "agent/msg_logic_agent.h"

namespace msglogic {

int32_t CMsgLogicAgent::SendRoomInfo(uint32_t, const RoomInfo*) noexcept {
  if (!m_bEnable.load()) return -1;
  return 0;
}

}  // namespace msglogic
