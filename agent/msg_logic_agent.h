// CMsgLogicAgent: the object a host gets from CreateMsgLogicEx.
//
// Threads that work on one agent at the same time:
//  - host threads: every IMsgLogicEx operation;
//  - engine threads: every sink event (events/agent_sink.h), and through
//    them most host callbacks;
//  - the supervision worker: CheckConnection every 2000 ms;
//  - the release worker: releases an engine marked by Reset, every 2000 ms.
//
// Locks, each recursive and each guarding one thing. Only three nestings
// are allowed, always in this order:
//   m_csKeepAlive -> m_csMsgLogic      (keep-alive)
//   m_csFriend -> m_csFriendValue      (friend directory; its writers take
//                                       each alone today)
//   m_csPendingText -> m_csMsgLogic    (sending a queued text)
// Every other lock is taken alone. m_csFriend is held only to look a user up
// or to swap in a friend table built outside it, so a host command never
// waits for a friend list being cached. No lock is held while the host is
// called or while a message box is open. m_csMsgLogic is held across every
// call into the engine but its Release, which runs with no agent lock held:
// the engine waits there for its sink calls, and one may be waiting for a lock.
//
// Lifetime and logins: one mechanism, whose rules stand at the top of
// agent/lifetime.cc. In short: every thread working inside the agent does so
// inside a Call; Release stops new calls, waits (bounded) for those that
// began, and the last call to leave a released agent ends it. A login is a
// session; what the agent learns during it is stamped with it and is never
// seen by another.
//
// The member functions are defined in the folder of their subsystem:
// agent/ (object and lifetime), login/ (Connect), supervision/ (workers,
// CheckConnection, Reset, OnActivity, OnDisconnect), commands/ (host
// commands, pending texts) and events/ (decoding engine events).
#ifndef MSGLOGIC_AGENT_MSG_LOGIC_AGENT_H_
#define MSGLOGIC_AGENT_MSG_LOGIC_AGENT_H_

#include <stdint.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "MsgLogic.h"
#include "MsgLogicEx.h"
#include "events/agent_sink.h"
#include "events/friend_table.h"
#include "events/record_view.h"
#include "platform/env.h"
#include "platform/thread_annotations.h"

namespace msglogic {

// Module-wide supervision settings, in seconds: a connection with no
// activity for more than g_nActiveTimeout seconds is lost; a keep-alive is
// due when more than g_nKeepAliveInterval seconds have passed since the last.
extern const int32_t g_nActiveTimeout;
extern const int32_t g_nKeepAliveInterval;

// Pause between two passes of either worker, and the longest Release waits
// for each worker to end.
constexpr uint32_t kWorkerPassMs = 2000;
constexpr uint32_t kWorkerJoinMs = 5000;

// Orders user ids by their unsigned 32-bit value.
struct UserIdLess {
  bool operator()(int32_t a, int32_t b) const {
    return static_cast<uint32_t>(a) < static_cast<uint32_t>(b);
  }
};

// Seconds from `stamp` to `now` on the wrapping 32-bit calendar clock: a
// clock set back gives a negative interval; 0x7FFFFFFF to 0x80000000 is 1.
inline int32_t SecondsSince(int32_t now, int32_t stamp) {
  return static_cast<int32_t>(static_cast<uint32_t>(now) -
                              static_cast<uint32_t>(stamp));
}

class CMsgLogicAgent final : public IMsgLogicEx {
 public:
  // A new agent working through `env`, which must outlive it (and its
  // workers). Null when memory or a lock cannot be had.
  static CMsgLogicAgent* Create(Env* env) noexcept;

  // One thread's work inside the agent, for the scope (agent/lifetime.cc).
  // False when the agent has been released: the work is then not done.
  class Call {
   public:
    explicit Call(CMsgLogicAgent* agent);
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    explicit operator bool() const { return entered_; }

   private:
    friend class CMsgLogicAgent;
    struct Adopt {};
    // Takes over a call the starting thread entered for this one (workers).
    Call(CMsgLogicAgent* agent, Adopt);
    CMsgLogicAgent* const agent_;
    bool entered_ = false;
    bool worker_ = false;    // a worker's call, for the worker's whole life
    Call* outer_ = nullptr;  // the enclosing call on this thread
  };

  // --- IMsgObject (agent/msg_logic_agent.cc) ---
  void* GetInterface(int32_t id) noexcept override;
  // Ends the agent (agent/lifetime.cc): no call begins once it has begun;
  // calls under way on other threads, and then each worker, are waited for
  // kWorkerJoinMs at most; the engine is released, the login state dropped.
  int32_t Release() noexcept override;
  // Slot 2, where a host built with `virtual ~IMsgObject()` sends `delete`:
  // ends the agent as Release does, whatever the flags. Returns the agent's
  // address when MSG_DESTROY_FREE is set, else null (the caller may free
  // what it gets back; the agent has freed itself).
  void* Destroy(uint32_t flags) noexcept override;

  // --- IMsgLogicEx ---
  IMsgLogicExCallback* SetCallback(IMsgObject* obj, int32_t id) noexcept override;
  int32_t Connect(int32_t userId, int32_t param) noexcept override;  // login/
  int32_t ForwardRequestA(int32_t value) noexcept override;          // commands/
  int32_t SendText(int32_t userId, const char* text) noexcept override;
  int32_t ForwardRequestB(int32_t value) noexcept override;
  int32_t GetFriendList() noexcept override;
  int32_t ForwardRequestC() noexcept override;
  int32_t SendRoomInfo(uint32_t count, const RoomInfo* rooms) noexcept override;
  int32_t ContactUser(int32_t userId) noexcept override;

  // --- Supervision (supervision/) ---
  static void SuperviseThreadProc(void* agent);
  static void ReleaseThreadProc(void* agent);
  // One supervision pass: loss by inactivity, else a keep-alive if due.
  void CheckConnection();
  // Ends the current session: marks the engine for the release worker and
  // drops the login state.
  void Reset();
  int32_t OnActivity();   // sink slot 88
  void OnDisconnect();    // sink slot 101

  // --- Pending texts (commands/) ---
  // Sends and drops the text queued for userId. 1 if one was queued, else 0.
  int32_t FlushPendingText(int32_t userId, int32_t value);

  // --- Engine events (events/), each on an engine thread. Views from the
  // sink are unbounded; a bounded view whose record claims more bytes than
  // it has is dropped whole with the event's usual result. ---
  int32_t OnUserText(int32_t userId, RecordView record);  // slot 6
  int32_t OnUserInfo(RecordView record);                  // slot 9
  int32_t OnEventA(RecordView record);                    // slot 36
  int32_t OnFriendList(RecordView list);                  // slot 37
  int32_t OnFriendInfo(RecordView record);                // slot 39
  int32_t OnSelfId(RecordView selfId);                    // slot 80
  int32_t OnEventB(int32_t value);                        // slot 82
  int32_t OnUserList(RecordView list);                    // slot 85
  int32_t OnFriendUpdate(RecordView record);              // slot 87
  int32_t OnEventC();                                     // slot 90
  int32_t OnEventD(RecordView values);                    // slot 91
  int32_t OnFriendValues(RecordView list);                // slot 122
  // The count at offset 0 of a list record (0 when it cannot be read).
  static int32_t ListCount(RecordView list);

 private:
  friend class AgentPeer;  // tests look inside

  explicit CMsgLogicAgent(Env* env);
  ~CMsgLogicAgent();

  // --- Lifetime and sessions (agent/lifetime.cc) ---
  // Creates the locks and the events; false on failure.
  bool Init();
  // Counts a call in; false once Release has begun.
  bool TryEnter();
  // Counts in the call of a worker about to start (Call's Adopt takes it
  // over); false once Release has begun.
  bool EnterForWorker();
  // Leaves a call; the last to leave a released agent ends it.
  void LeaveCall();
  // Leaves a call that EnterForWorker counted in.
  void LeaveWorkerCall();
  // Releases the engine, if any, and frees the agent. No call is inside.
  void End();
  // Calls of this agent on the calling thread.
  int32_t OwnCalls() const;
  // Waits, for at most kWorkerJoinMs, until no more than `rest` calls are
  // inside.
  void WaitForCalls(int32_t rest);
  // The session current now.
  uint32_t Session() const { return m_nSession.load(); }
  // Ends session `session` unless it has ended already: the engine is
  // marked for release, the agent offline, the state of the session gone.
  void EndSession(uint32_t session);
  // Brings each table, and the own id, to the current session (emptied if
  // it held an earlier one's); one lock at a time.
  void Tidy();
  // The same for one table, with its lock held.
  void FreshFriends() REQUIRES(m_csFriend);
  void FreshFriendValues() REQUIRES(m_csFriendValue);
  void FreshPending() REQUIRES(m_csPendingText);
  // The own id the engine reported during `session`; -1 if none.
  int32_t SelfIdOf(uint32_t session) const;
  // Takes the engine out of the agent (under m_csMsgLogic) and releases it
  // with no agent lock held, so that a sink call waiting for one can end.
  void ReleaseEngine();
  // The callback events are reported to; null for none.
  IMsgLogicExCallback* Callback() const { return m_Sink.Callback(); }
  // The host callback for one report: read once, when the report is made.
  class HostCall {
   public:
    explicit HostCall(const CMsgLogicAgent* agent) : callback_(agent->Callback()) {}
    explicit operator bool() const { return callback_ != nullptr; }
    IMsgLogicExCallback* operator->() const { return callback_; }

   private:
    IMsgLogicExCallback* const callback_;
  };
  // The innermost call of the calling thread.
  static thread_local Call* t_call;
  // Best effort: a trace line the Env cannot write (it ran out of memory,
  // say) is dropped, never thrown out of a noexcept entry point.
  void WriteTrace(const char* text) noexcept {
    try {
      m_env->DebugOutput(text);
    } catch (...) {
    }
  }
  // Starts the worker of `handle` unless it has been started; the thread
  // runs inside a call entered for it here. False when the thread cannot be
  // started (the handle stays null, so a later Connect tries again).
  bool StartWorker(Thread** handle, void (*proc)(void*)) REQUIRES(m_csMsgLogic);
  // The flag and name of the first saved login of userId in the login file;
  // false when there is none.
  bool FindSavedLogin(int32_t userId, int32_t* flag, std::string* name);
  // A loss of the connection: the host hears of it, then the session that
  // was current when the loss was detected ends (if no later login has
  // ended it).
  void ConnectionLost();
  // Caches `count` friend records lying whole, back to back, from the start
  // of `records`, and copies those whose user has a value to out[0], out[1],
  // ... The records are converted and the new friend table built with no
  // lock held; m_csFriendValue and m_csFriend are each taken alone, briefly
  // (events/). False, with the cache as it was, when not every record lies
  // whole. Throws std::bad_alloc, leaving the cache as it was.
  bool CacheFriendRecords(RecordView records, uint32_t count, FriendInfo* out);
  // Puts `count` entries (ascending unsigned ids, none twice) into the
  // published friend table: built from a copy with no lock held, swapped in
  // under m_csFriend unless another writer swapped first; after two such
  // losses the table is built under the lock, so every writer gets through.
  void PublishFriends(const FriendInfo* const* entries, size_t count);

  Env* const m_env;

  // Members in the order their owner documents them; locks are created and
  // deleted explicitly, in this order.
  RecursiveLock m_csActive;
  int32_t m_tLastActive GUARDED_BY(m_csActive) = 0;
  RecursiveLock m_csKeepAlive ACQUIRED_BEFORE(m_csMsgLogic);
  int32_t m_tLastKeepAlive GUARDED_BY(m_csKeepAlive) = 0;
  Thread* m_hSuperviseThread GUARDED_BY(m_csMsgLogic) = nullptr;
  Thread* m_hReleaseThread GUARDED_BY(m_csMsgLogic) = nullptr;
  RecursiveLock m_csFriend ACQUIRED_BEFORE(m_csFriendValue);
  // The published friend table: read and swapped under m_csFriend, built
  // with no lock held (events/friend_table.h).
  FriendTable m_mapFriend GUARDED_BY(m_csFriend);
  RecursiveLock m_csFriendValue;
  std::map<int32_t, int32_t, UserIdLess> m_mapFriendValue GUARDED_BY(m_csFriendValue);
  // Counts the clearings of the map above (nothing else removes its
  // entries): while the count and the map's size stay as they were, its
  // users are those of m_vecValueUsers, the map's users in ascending order,
  // which friend lists test their users against (events/).
  uint32_t m_nFriendValueClears GUARDED_BY(m_csFriendValue) = 0;
  // The session whose state each table holds (agent/lifetime.cc).
  uint32_t m_nFriendSession GUARDED_BY(m_csFriend) = 1;
  uint32_t m_nFriendValueSession GUARDED_BY(m_csFriendValue) = 1;
  std::vector<uint32_t> m_vecValueUsers GUARDED_BY(m_csFriendValue);
  uint32_t m_nValueUsersClears GUARDED_BY(m_csFriendValue) = 0;
  RecursiveLock m_csPendingText ACQUIRED_BEFORE(m_csMsgLogic);
  std::map<int32_t, std::unique_ptr<char[]>, UserIdLess> m_mapPendingText
      GUARDED_BY(m_csPendingText);
  uint32_t m_nPendingSession GUARDED_BY(m_csPendingText) = 1;
  // The own id and, in the upper 32 bits, the session it was reported in.
  std::atomic<uint64_t> m_nSelfId{(uint64_t{1} << 32) | 0xFFFFFFFFu};
  std::atomic<bool> m_bEnable{false};
  std::atomic<bool> m_bThreadRun{false};
  bool m_bReleasePending GUARDED_BY(m_csMsgLogic) = false;
  RecursiveLock m_csMsgLogic;
  IMsgLogic* m_pMsgLogic GUARDED_BY(m_csMsgLogic) = nullptr;
  CMsgLogicAgentSink m_Sink;
  std::atomic<IMsgLogicExCallback*> m_pCallback{nullptr};

  // Calls inside the agent, and kReleased once Release has begun
  // (agent/lifetime.cc).
  std::atomic<uint32_t> m_nCalls{0};
  // Of those, the workers' calls: a worker's call leaves this count before
  // m_nCalls, so Release, reading m_nCalls first, never takes a worker that
  // has just ended for one still inside.
  std::atomic<int32_t> m_nWorkerCalls{0};
  // While Release waits for calls: how many may stay, and the event the
  // call that brings the count down to it sets.
  std::atomic<int32_t> m_nCallsAwaited{-1};
  std::unique_ptr<Event> m_evCalls;
  // Set by Release: wakes the workers out of their pause between passes.
  std::unique_ptr<Event> m_evStop;
  // The current session; changed only under m_csMsgLogic, by a login the
  // engine accepts and by the end of a session.
  std::atomic<uint32_t> m_nSession{1};
  // The last session a loss ended: its Connect, if still under way, does
  // not count the agent logged in.
  uint32_t m_nLostSession GUARDED_BY(m_csMsgLogic) = 0;
};

}  // namespace msglogic

#endif  // MSGLOGIC_AGENT_MSG_LOGIC_AGENT_H_
