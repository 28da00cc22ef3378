// Engine events the agent passes on as they come: the three plain
// notifications. (The own user id belongs to the session: agent/lifetime.cc.)
#include "agent/msg_logic_agent.h"

namespace msglogic {

// Engine thread. The value itself is passed on, not what it might point to.
int32_t CMsgLogicAgent::OnEventB(int32_t value) {
  if (HostCall callback{this}) callback->OnEventB(value);
  return 0;
}

// Engine thread.
int32_t CMsgLogicAgent::OnEventC() {
  if (HostCall callback{this}) callback->OnEventC();
  return 0;
}

// Engine thread. The record holds three 32-bit values, passed in order.
int32_t CMsgLogicAgent::OnEventD(RecordView values) {
  HostCall callback{this};
  if (callback && values.Has(0, 12)) {
    callback->OnEventD(values.I32(0), values.I32(4), values.I32(8));
  }
  return 0;
}

int32_t CMsgLogicAgent::ListCount(RecordView list) {
  return list.Has(0, 4) ? list.I32(0) : 0;
}

}  // namespace msglogic
