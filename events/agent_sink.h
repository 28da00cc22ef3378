// CMsgLogicAgentSink: the event sink the agent hands to its engine.
//
// It implements all 123 event operations of IMsgLogicSink in slot order.
// Events the agent acts on are passed to the owning CMsgLogicAgent, which
// is kept alive for the duration of the call; every other slot ignores its
// arguments and answers its fixed result. No exception leaves a sink call.
#ifndef MSGLOGIC_EVENTS_AGENT_SINK_H_
#define MSGLOGIC_EVENTS_AGENT_SINK_H_

#include <atomic>

#include "MsgLogic.h"
#include "MsgLogicEx.h"

namespace msglogic {

class CMsgLogicAgent;

class CMsgLogicAgentSink final : public IMsgLogicSink {
 public:
  explicit CMsgLogicAgentSink(CMsgLogicAgent* agent);
  ~CMsgLogicAgentSink();
  CMsgLogicAgentSink(const CMsgLogicAgentSink&) = delete;
  CMsgLogicAgentSink& operator=(const CMsgLogicAgentSink&) = delete;

  // The host callback the sink's handlers report to; null for none. Written
  // by the agent's SetCallback (host thread), read on engine threads.
  void SetCallback(IMsgLogicExCallback* callback) { m_pCallback.store(callback); }
  IMsgLogicExCallback* Callback() const { return m_pCallback.load(); }

  int32_t Reserved000(MsgWord, MsgWord) noexcept override;
  int32_t Reserved001(MsgWord, MsgWord, MsgWord) noexcept override;
  int32_t Reserved002(MsgWord) noexcept override;
  int32_t Reserved003(MsgWord) noexcept override;
  int32_t Reserved004(MsgWord) noexcept override;
  int32_t Reserved005(MsgWord) noexcept override;
  int32_t OnUserText(int32_t userId, const void* record) noexcept override;  // 6
  int32_t Reserved007(MsgWord) noexcept override;
  int32_t Reserved008(MsgWord) noexcept override;
  int32_t OnUserInfo(const void* record) noexcept override;  // 9
  int32_t Reserved010(MsgWord) noexcept override;
  int32_t Reserved011(MsgWord) noexcept override;
  int32_t Reserved012(MsgWord) noexcept override;
  int32_t Reserved013(MsgWord) noexcept override;
  int32_t Reserved014(MsgWord) noexcept override;
  int32_t Reserved015(MsgWord) noexcept override;
  int32_t Reserved016(MsgWord) noexcept override;
  int32_t Reserved017(MsgWord) noexcept override;
  int32_t Reserved018(MsgWord) noexcept override;
  int32_t Reserved019(MsgWord) noexcept override;
  int32_t Reserved020(MsgWord) noexcept override;
  int32_t Reserved021(MsgWord, MsgWord) noexcept override;
  int32_t Reserved022(MsgWord) noexcept override;
  int32_t Reserved023(MsgWord) noexcept override;
  int32_t Reserved024(MsgWord) noexcept override;
  int32_t Reserved025(MsgWord) noexcept override;
  int32_t Reserved026(MsgWord, MsgWord) noexcept override;
  int32_t Reserved027(MsgWord) noexcept override;
  int32_t Reserved028(MsgWord) noexcept override;
  int32_t Reserved029(MsgWord) noexcept override;
  int32_t Reserved030(MsgWord) noexcept override;
  int32_t Reserved031(MsgWord) noexcept override;
  int32_t Reserved032(MsgWord) noexcept override;
  int32_t Reserved033(MsgWord) noexcept override;
  int32_t Reserved034(MsgWord) noexcept override;
  int32_t Reserved035(MsgWord) noexcept override;
  int32_t OnEventA(const void* record) noexcept override;  // 36
  int32_t OnFriendList(const void* list) noexcept override;  // 37
  int32_t Reserved038(MsgWord) noexcept override;
  int32_t OnFriendInfo(const void* record) noexcept override;  // 39
  int32_t Reserved040(MsgWord) noexcept override;
  int32_t Reserved041(MsgWord) noexcept override;
  void Reserved042(MsgWord) noexcept override;
  void Reserved043(MsgWord) noexcept override;
  int32_t Reserved044(MsgWord) noexcept override;
  int32_t Reserved045(MsgWord) noexcept override;
  int32_t Reserved046(MsgWord) noexcept override;
  int32_t Reserved047(MsgWord) noexcept override;
  int32_t Reserved048(MsgWord) noexcept override;
  int32_t Reserved049(MsgWord) noexcept override;
  int32_t Reserved050(MsgWord) noexcept override;
  int32_t Reserved051(MsgWord) noexcept override;
  int32_t Reserved052(MsgWord) noexcept override;
  int32_t Reserved053(MsgWord) noexcept override;
  int32_t Reserved054(MsgWord) noexcept override;
  int32_t Reserved055(MsgWord) noexcept override;
  int32_t Reserved056(MsgWord) noexcept override;
  int32_t Reserved057(MsgWord) noexcept override;
  int32_t Reserved058(MsgWord) noexcept override;
  int32_t Reserved059(MsgWord) noexcept override;
  int32_t Reserved060(MsgWord) noexcept override;
  int32_t Reserved061(MsgWord, MsgWord, MsgWord) noexcept override;
  int32_t Reserved062() noexcept override;
  int32_t Reserved063() noexcept override;
  int32_t Reserved064(MsgWord) noexcept override;
  int32_t Reserved065(MsgWord) noexcept override;
  int32_t Reserved066(MsgWord) noexcept override;
  void Reserved067() noexcept override;
  void Reserved068() noexcept override;
  void Reserved069(MsgWord, MsgWord) noexcept override;
  void Reserved070() noexcept override;
  void Reserved071() noexcept override;
  void Reserved072(MsgWord, MsgWord) noexcept override;
  void Reserved073() noexcept override;
  void Reserved074(MsgWord) noexcept override;
  int32_t Reserved075(MsgWord) noexcept override;
  void Reserved076(MsgWord) noexcept override;
  void Reserved077(MsgWord) noexcept override;
  int32_t Reserved078(MsgWord) noexcept override;
  int32_t Reserved079(MsgWord) noexcept override;
  int32_t OnSelfId(const int32_t* selfId) noexcept override;  // 80
  int32_t Reserved081(MsgWord) noexcept override;
  int32_t OnEventB(int32_t value) noexcept override;  // 82
  int32_t Reserved083(MsgWord) noexcept override;
  int32_t Reserved084(MsgWord) noexcept override;
  int32_t OnUserList(const void* list) noexcept override;  // 85
  int32_t Reserved086(MsgWord) noexcept override;
  int32_t OnFriendUpdate(const void* record) noexcept override;  // 87
  int32_t OnActivity() noexcept override;  // 88
  int32_t Reserved089(MsgWord) noexcept override;
  int32_t OnEventC() noexcept override;  // 90
  int32_t OnEventD(const void* values) noexcept override;  // 91
  int32_t Reserved092(MsgWord) noexcept override;
  int32_t Reserved093(MsgWord) noexcept override;
  void Reserved094(MsgWord) noexcept override;
  void Reserved095(MsgWord) noexcept override;
  void Reserved096() noexcept override;
  int32_t Reserved097() noexcept override;
  void Reserved098(MsgWord, MsgWord) noexcept override;
  int32_t Reserved099(MsgWord) noexcept override;
  void Reserved100(MsgWord) noexcept override;
  void OnDisconnect() noexcept override;  // 101
  void Reserved102(MsgWord) noexcept override;
  void Reserved103(MsgWord) noexcept override;
  void Reserved104(MsgWord) noexcept override;
  void Reserved105(MsgWord) noexcept override;
  void Reserved106(MsgWord) noexcept override;
  void Reserved107(MsgWord) noexcept override;
  void Reserved108(MsgWord) noexcept override;
  void Reserved109(MsgWord) noexcept override;
  void Reserved110(MsgWord) noexcept override;
  void Reserved111(MsgWord) noexcept override;
  void Reserved112(MsgWord) noexcept override;
  void Reserved113(MsgWord) noexcept override;
  void Reserved114(MsgWord) noexcept override;
  void Reserved115(MsgWord) noexcept override;
  void Reserved116(MsgWord) noexcept override;
  void Reserved117(MsgWord) noexcept override;
  void Reserved118(MsgWord) noexcept override;
  void Reserved119(MsgWord) noexcept override;
  void Reserved120(MsgWord) noexcept override;
  void Reserved121(MsgWord) noexcept override;
  int32_t OnFriendValues(const void* list) noexcept override;  // 122

 private:
  std::atomic<IMsgLogicExCallback*> m_pCallback;
  CMsgLogicAgent* const m_pAgent;
};

}  // namespace msglogic

#endif  // MSGLOGIC_EVENTS_AGENT_SINK_H_
