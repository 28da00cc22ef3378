// User lists, texts and event A, decoded and passed to the host.
#include "agent/msg_logic_agent.h"

namespace msglogic {

int32_t CMsgLogicAgent::OnUserList(RecordView) { return 0; }
int32_t CMsgLogicAgent::OnUserText(int32_t, RecordView) { return 0; }
int32_t CMsgLogicAgent::OnEventA(RecordView) { return 0; }

}  // namespace msglogic
