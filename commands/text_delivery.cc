// Text delivery and pending texts.
//
// A text for a friend goes to the engine at once, with the value the friend
// directory holds for the user. A text for anyone else is copied and queued
// (one per user, the latest wins) while the engine is asked for the user's
// details; its answer, OnUserInfo, carries the value and sends the queued
// text. The host commands never hold two locks at once; only the flush nests
// m_csPendingText -> m_csMsgLogic. A value, an own id or a queued text of
// one session reaches the engine only while that session is current
// (agent/lifetime.cc).
#include <cstring>
#include <memory>
#include <new>

#include "agent/msg_logic_agent.h"

namespace msglogic {
namespace {

// "该用户不在线" ("this user is not online") in GB2312.
const char kUserNotOnline[] =
    "\xB8\xC3\xD3\xC3\xBB\xA7\xB2\xBB\xD4\xDA\xCF\xDF";

}  // namespace

// Host thread. 0: handed to the engine (or there was none to hand it to);
// 1: queued until the user's details arrive; -1: not logged in, or no memory
// for the copy. The engine gets the host's own pointer for a friend, and the
// agent's copy for a queued text.
int32_t CMsgLogicAgent::SendText(int32_t userId, const char* text) noexcept {
  if (!m_bEnable.load()) return -1;
  Call call(this);
  if (!call) return -1;
  try {
    bool is_friend = false;
    int32_t value = 0;
    uint32_t session;  // whose friend directory answered
    {
      LockHolder hold(&m_csFriend);
      FreshFriends();
      session = m_nFriendSession;
      if (const FriendInfo* info = m_mapFriend.Find(userId)) {
        is_friend = true;
        value = info->nUserValue;
      }
    }
    if (is_friend) {
      // A null text goes out empty, as it would be queued: the engine is
      // never handed a null text.
      LockHolder hold(&m_csMsgLogic);
      if (m_pMsgLogic != nullptr && Session() == session) {
        m_pMsgLogic->SendText(userId, 1, SelfIdOf(session), value, text != nullptr ? text : "");
      }
      return 0;
    }

    // The copy is queued before the engine is asked, so an answer that
    // arrives before this call returns finds it. A null text queues as empty.
    const size_t size = text != nullptr ? std::strlen(text) + 1 : 1;
    std::unique_ptr<char[]> copy(new (std::nothrow) char[size]);
    if (copy == nullptr) return -1;
    if (text != nullptr) {
      std::memcpy(copy.get(), text, size);
    } else {
      copy[0] = '\0';
    }
    {
      LockHolder hold(&m_csPendingText);
      FreshPending();
      m_mapPendingText[userId] = std::move(copy);  // frees an earlier text
    }
    {
      LockHolder hold(&m_csMsgLogic);
      if (m_pMsgLogic != nullptr) m_pMsgLogic->RequestUserInfo(userId);
    }
    return 1;
  } catch (...) {
    return -1;
  }
}

// Host thread. 0: the engine was asked to contact the user; -1: not logged
// in, not a friend, or the friend is not online (status 2 or 3), in which
// case the host's user is told so in a message box, shown with no lock held.
int32_t CMsgLogicAgent::ContactUser(int32_t userId) noexcept {
  if (!m_bEnable.load()) return -1;
  Call call(this);
  if (!call) return -1;
  try {
    uint8_t status;
    int32_t value;
    uint32_t session;  // whose friend directory answered
    {
      LockHolder hold(&m_csFriend);
      FreshFriends();
      session = m_nFriendSession;
      const FriendInfo* info = m_mapFriend.Find(userId);
      if (info == nullptr) return -1;
      status = info->byStatus;
      value = info->nUserValue;
    }
    if (status == 2 || status == 3) {
      m_env->ShowMessageBox(kUserNotOnline);
      return -1;
    }
    LockHolder hold(&m_csMsgLogic);
    // The engine takes the value before the own id here.
    if (m_pMsgLogic != nullptr && Session() == session) {
      m_pMsgLogic->ContactUser(userId, value, SelfIdOf(session));
    }
    return 0;
  } catch (...) {
    return -1;
  }
}

// Engine thread: the answer to RequestUserInfo, user id at 0 and the user's
// value at 4. Always 1.
int32_t CMsgLogicAgent::OnUserInfo(RecordView record) {
  if (record.Has(0, 8)) FlushPendingText(record.I32(0), record.I32(4));
  return 1;
}

// Engine thread. The queued text stays in the map, under m_csPendingText,
// until the engine has returned from sending it; a newer text queued for the
// user meanwhile waits for the lock and is kept for the next answer. A text
// whose session has ended by the time the engine lock is had is dropped.
int32_t CMsgLogicAgent::FlushPendingText(int32_t userId, int32_t value) {
  LockHolder pending(&m_csPendingText);
  FreshPending();
  auto it = m_mapPendingText.find(userId);
  if (it == m_mapPendingText.end()) return 0;
  const uint32_t session = m_nPendingSession;
  {
    LockHolder engine(&m_csMsgLogic);
    if (m_pMsgLogic != nullptr && Session() == session) {
      m_pMsgLogic->SendText(userId, 1, SelfIdOf(session), value, it->second.get());
    }
  }
  m_mapPendingText.erase(it);
  return 1;
}

}  // namespace msglogic
