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
  // The own id of the current session (-1 if none reported in it).
  int32_t self_id() const { return a_->SelfIdOf(a_->Session()); }
  uint32_t session() const { return a_->Session(); }
  IMsgLogicExCallback* callback() const { return a_->m_pCallback.load(); }
  IMsgLogicExCallback* sink_callback() const { return a_->m_Sink.Callback(); }
  // Owners of the agent: the host until Release, and every call inside.
  int32_t refs() const {
    const uint32_t calls = a_->m_nCalls.load();
    return static_cast<int32_t>(calls & 0x7FFFFFFFu) + ((calls & 0x80000000u) != 0 ? 0 : 1);
  }

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
    a_->FreshFriends();
    return a_->m_mapFriend.size();
  }
  bool find_friend(int32_t id, FriendInfo* out) const {
    LockHolder hold(&a_->m_csFriend);
    a_->FreshFriends();
    const FriendInfo* info = a_->m_mapFriend.Find(id);
    if (info == nullptr) return false;
    *out = *info;
    return true;
  }
  void put_friend(const FriendInfo& info) const {
    LockHolder hold(&a_->m_csFriend);
    a_->FreshFriends();
    a_->m_mapFriend = a_->m_mapFriend.With(info);
  }
  size_t value_count() const {
    LockHolder hold(&a_->m_csFriendValue);
    a_->FreshFriendValues();
    return a_->m_mapFriendValue.size();
  }
  bool find_value(int32_t id, int32_t* out) const {
    LockHolder hold(&a_->m_csFriendValue);
    a_->FreshFriendValues();
    auto it = a_->m_mapFriendValue.find(id);
    if (it == a_->m_mapFriendValue.end()) return false;
    *out = it->second;
    return true;
  }
  size_t pending_count() const {
    LockHolder hold(&a_->m_csPendingText);
    a_->FreshPending();
    return a_->m_mapPendingText.size();
  }
  bool find_pending(int32_t id, std::string* out) const {
    LockHolder hold(&a_->m_csPendingText);
    a_->FreshPending();
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
