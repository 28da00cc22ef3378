// AgentPeer: what tests may see of an agent's inside. Every read takes the
// lock the agent takes for it.
#ifndef MSGLOGIC_TESTS_SUPPORT_AGENT_PEER_H_
#define MSGLOGIC_TESTS_SUPPORT_AGENT_PEER_H_

#include <string>

#include "agent/msg_logic_agent.h"

namespace msglogic {

class AgentPeer {
 public:
  explicit AgentPeer(IMsgLogicEx* agent) : a_(static_cast<CMsgLogicAgent*>(agent)) {}

  CMsgLogicAgent* agent() const { return a_; }
  IMsgLogicSink* sink() const { return &a_->m_Sink; }
  bool enabled() const { return a_->m_bEnable.load(); }
  bool thread_run() const { return a_->m_bThreadRun.load(); }
  int32_t self_id() const { return a_->m_nSelfId.load(); }
  IMsgLogicExCallback* callback() const { return a_->m_pCallback.load(); }
  IMsgLogicExCallback* sink_callback() const { return a_->m_Sink.Callback(); }
  int32_t refs() const { return a_->m_nRefs.load(); }

  IMsgLogic* engine() const {
    LockHolder hold(&a_->m_csMsgLogic);
    return a_->m_pMsgLogic;
  }
  bool release_pending() const {
    LockHolder hold(&a_->m_csMsgLogic);
    return a_->m_bReleasePending;
  }
  bool supervise_thread() const {
    LockHolder hold(&a_->m_csMsgLogic);
    return a_->m_hSuperviseThread != nullptr;
  }
  bool release_thread() const {
    LockHolder hold(&a_->m_csMsgLogic);
    return a_->m_hReleaseThread != nullptr;
  }
  int32_t last_active() const {
    LockHolder hold(&a_->m_csActive);
    return a_->m_tLastActive;
  }
  int32_t last_keep_alive() const {
    LockHolder hold(&a_->m_csKeepAlive);
    return a_->m_tLastKeepAlive;
  }

  size_t friend_count() const {
    LockHolder hold(&a_->m_csFriend);
    return a_->m_mapFriend.size();
  }
  bool find_friend(int32_t id, FriendInfo* out) const {
    LockHolder hold(&a_->m_csFriend);
    const FriendInfo* info = a_->m_mapFriend.Find(id);
    if (info == nullptr) return false;
    *out = *info;
    return true;
  }
  void put_friend(const FriendInfo& info) const {
    LockHolder hold(&a_->m_csFriend);
    a_->m_mapFriend = a_->m_mapFriend.With(info);
  }
  size_t value_count() const {
    LockHolder hold(&a_->m_csFriendValue);
    return a_->m_mapFriendValue.size();
  }
  bool find_value(int32_t id, int32_t* out) const {
    LockHolder hold(&a_->m_csFriendValue);
    auto it = a_->m_mapFriendValue.find(id);
    if (it == a_->m_mapFriendValue.end()) return false;
    *out = it->second;
    return true;
  }
  size_t pending_count() const {
    LockHolder hold(&a_->m_csPendingText);
    return a_->m_mapPendingText.size();
  }
  bool find_pending(int32_t id, std::string* out) const {
    LockHolder hold(&a_->m_csPendingText);
    auto it = a_->m_mapPendingText.find(id);
    if (it == a_->m_mapPendingText.end()) return false;
    *out = it->second.get();
    return true;
  }

  void Reset() const { a_->Reset(); }
  void CheckConnection() const { a_->CheckConnection(); }

 private:
  CMsgLogicAgent* const a_;
};

}  // namespace msglogic

#endif  // MSGLOGIC_TESTS_SUPPORT_AGENT_PEER_H_
