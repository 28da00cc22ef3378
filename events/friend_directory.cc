// The friend directory: friend records cached and relayed to the host.
#include "agent/msg_logic_agent.h"

namespace msglogic {

int32_t CMsgLogicAgent::OnFriendList(RecordView) { return 0; }
int32_t CMsgLogicAgent::OnFriendInfo(RecordView) { return 0; }
int32_t CMsgLogicAgent::OnFriendUpdate(RecordView) { return 0; }
int32_t CMsgLogicAgent::OnFriendValues(RecordView list) { return ListCount(list); }

}  // namespace msglogic
