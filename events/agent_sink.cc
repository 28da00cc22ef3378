#include "events/agent_sink.h"

#include "agent/msg_logic_agent.h"
#include "events/record_view.h"

namespace msglogic {

CMsgLogicAgentSink::CMsgLogicAgentSink(CMsgLogicAgent* agent)
    : m_pCallback(nullptr), m_pAgent(agent) {}

CMsgLogicAgentSink::~CMsgLogicAgentSink() = default;

// Events the agent acts on, each inside a call (agent/lifetime.cc): the
// agent stays alive even if the host releases it from inside a callback
// made by the handler, and Release waits for the call. Once the agent is
// released an event does nothing but answer its usual result.

int32_t CMsgLogicAgentSink::OnUserText(int32_t userId, const void* record) noexcept {
  CMsgLogicAgent::Call call(m_pAgent);
  if (!call) return 0;
  try {
    return m_pAgent->OnUserText(userId, RecordView::Unbounded(record));
  } catch (...) {
    return 0;
  }
}

int32_t CMsgLogicAgentSink::OnUserInfo(const void* record) noexcept {
  CMsgLogicAgent::Call call(m_pAgent);
  if (!call) return 1;
  try {
    return m_pAgent->OnUserInfo(RecordView::Unbounded(record));
  } catch (...) {
    return 1;
  }
}

int32_t CMsgLogicAgentSink::OnEventA(const void* record) noexcept {
  CMsgLogicAgent::Call call(m_pAgent);
  if (!call) return 0;
  try {
    return m_pAgent->OnEventA(RecordView::Unbounded(record));
  } catch (...) {
    return 0;
  }
}

int32_t CMsgLogicAgentSink::OnFriendList(const void* list) noexcept {
  CMsgLogicAgent::Call call(m_pAgent);
  if (!call) return 0;
  try {
    return m_pAgent->OnFriendList(RecordView::Unbounded(list));
  } catch (...) {
    return 0;
  }
}

int32_t CMsgLogicAgentSink::OnFriendInfo(const void* record) noexcept {
  CMsgLogicAgent::Call call(m_pAgent);
  if (!call) return 0;
  try {
    return m_pAgent->OnFriendInfo(RecordView::Unbounded(record));
  } catch (...) {
    return 0;
  }
}

int32_t CMsgLogicAgentSink::OnSelfId(const int32_t* selfId) noexcept {
  CMsgLogicAgent::Call call(m_pAgent);
  if (!call) return 0;
  try {
    return m_pAgent->OnSelfId(RecordView::Unbounded(selfId));
  } catch (...) {
    return 0;
  }
}

int32_t CMsgLogicAgentSink::OnEventB(int32_t value) noexcept {
  CMsgLogicAgent::Call call(m_pAgent);
  if (!call) return 0;
  try {
    return m_pAgent->OnEventB(value);
  } catch (...) {
    return 0;
  }
}

int32_t CMsgLogicAgentSink::OnUserList(const void* list) noexcept {
  CMsgLogicAgent::Call call(m_pAgent);
  if (!call) return 0;
  try {
    return m_pAgent->OnUserList(RecordView::Unbounded(list));
  } catch (...) {
    return 0;
  }
}

int32_t CMsgLogicAgentSink::OnFriendUpdate(const void* record) noexcept {
  CMsgLogicAgent::Call call(m_pAgent);
  if (!call) return 0;
  try {
    return m_pAgent->OnFriendUpdate(RecordView::Unbounded(record));
  } catch (...) {
    return 0;
  }
}

int32_t CMsgLogicAgentSink::OnActivity() noexcept {
  CMsgLogicAgent::Call call(m_pAgent);
  if (!call) return 0;
  try {
    return m_pAgent->OnActivity();
  } catch (...) {
    return 0;
  }
}

int32_t CMsgLogicAgentSink::OnEventC() noexcept {
  CMsgLogicAgent::Call call(m_pAgent);
  if (!call) return 0;
  try {
    return m_pAgent->OnEventC();
  } catch (...) {
    return 0;
  }
}

int32_t CMsgLogicAgentSink::OnEventD(const void* values) noexcept {
  CMsgLogicAgent::Call call(m_pAgent);
  if (!call) return 0;
  try {
    return m_pAgent->OnEventD(RecordView::Unbounded(values));
  } catch (...) {
    return 0;
  }
}

void CMsgLogicAgentSink::OnDisconnect() noexcept {
  CMsgLogicAgent::Call call(m_pAgent);
  if (!call) return;
  try {
    m_pAgent->OnDisconnect();
  } catch (...) {
  }
}

int32_t CMsgLogicAgentSink::OnFriendValues(const void* list) noexcept {
  CMsgLogicAgent::Call call(m_pAgent);
  if (!call) return CMsgLogicAgent::ListCount(RecordView::Unbounded(list));
  try {
    return m_pAgent->OnFriendValues(RecordView::Unbounded(list));
  } catch (...) {
    return CMsgLogicAgent::ListCount(RecordView::Unbounded(list));
  }
}

// Events the agent does not act on: the fixed result, nothing else.
int32_t CMsgLogicAgentSink::Reserved000(MsgWord, MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved001(MsgWord, MsgWord, MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved002(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved003(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved004(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved005(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved007(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved008(MsgWord) noexcept { return 1; }
int32_t CMsgLogicAgentSink::Reserved010(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved011(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved012(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved013(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved014(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved015(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved016(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved017(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved018(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved019(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved020(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved021(MsgWord, MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved022(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved023(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved024(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved025(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved026(MsgWord, MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved027(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved028(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved029(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved030(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved031(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved032(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved033(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved034(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved035(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved038(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved040(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved041(MsgWord) noexcept { return 0; }
void CMsgLogicAgentSink::Reserved042(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved043(MsgWord) noexcept {}
int32_t CMsgLogicAgentSink::Reserved044(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved045(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved046(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved047(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved048(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved049(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved050(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved051(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved052(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved053(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved054(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved055(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved056(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved057(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved058(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved059(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved060(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved061(MsgWord, MsgWord, MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved062() noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved063() noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved064(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved065(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved066(MsgWord) noexcept { return 0; }
void CMsgLogicAgentSink::Reserved067() noexcept {}
void CMsgLogicAgentSink::Reserved068() noexcept {}
void CMsgLogicAgentSink::Reserved069(MsgWord, MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved070() noexcept {}
void CMsgLogicAgentSink::Reserved071() noexcept {}
void CMsgLogicAgentSink::Reserved072(MsgWord, MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved073() noexcept {}
void CMsgLogicAgentSink::Reserved074(MsgWord) noexcept {}
int32_t CMsgLogicAgentSink::Reserved075(MsgWord) noexcept { return 0; }
void CMsgLogicAgentSink::Reserved076(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved077(MsgWord) noexcept {}
int32_t CMsgLogicAgentSink::Reserved078(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved079(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved081(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved083(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved084(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved086(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved089(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved092(MsgWord) noexcept { return 0; }
int32_t CMsgLogicAgentSink::Reserved093(MsgWord) noexcept { return 0; }
void CMsgLogicAgentSink::Reserved094(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved095(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved096() noexcept {}
int32_t CMsgLogicAgentSink::Reserved097() noexcept { return 0; }
void CMsgLogicAgentSink::Reserved098(MsgWord, MsgWord) noexcept {}
int32_t CMsgLogicAgentSink::Reserved099(MsgWord) noexcept { return 0; }
void CMsgLogicAgentSink::Reserved100(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved102(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved103(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved104(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved105(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved106(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved107(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved108(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved109(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved110(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved111(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved112(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved113(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved114(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved115(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved116(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved117(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved118(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved119(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved120(MsgWord) noexcept {}
void CMsgLogicAgentSink::Reserved121(MsgWord) noexcept {}

}  // namespace msglogic
