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
// waits for a friend list being cached. No lock is held while the host is called
// or while a message box is open.
//
// Lifetime: the agent's memory is owned jointly by the host (until Release)
// and by every worker, host command and engine event running inside it
// (ScopedRef); it is freed when the last of them leaves. So the host may call
// Release from inside any callback, on any thread, and a worker that outlives
// Release's wait never touches freed memory.
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

  // Keeps the agent's memory alive for the scope (see Lifetime above).
  class ScopedRef {
   public:
    explicit ScopedRef(CMsgLogicAgent* agent) : agent_(agent) {
      agent_->AddRef();
    }
    ~ScopedRef() { agent_->DropRef(); }
    ScopedRef(const ScopedRef&) = delete;
    ScopedRef& operator=(const ScopedRef&) = delete;

   private:
    CMsgLogicAgent* const agent_;
  };

  // --- IMsgObject (agent/msg_logic_agent.cc) ---
  void* GetInterface(int32_t id) noexcept override;
  // Stops the workers, releases the engine, clears the caches and gives up
  // the host's reference. Callbacks stop being made when it begins; those
  // already being made on other threads are waited for, like the workers,
  // for at most kWorkerJoinMs (a callback of the calling thread itself is
  // not), so none begins after Release returns.
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
  // Marks the engine for the release worker, clears the login state.
  void Reset();
  // Reset for the loss of login `generation`, unless the engine has accepted
  // a later login meanwhile.
  void ResetLogin(uint32_t generation);
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

  void AddRef() { m_nRefs.fetch_add(1, std::memory_order_relaxed); }
  void DropRef();
  // Creates the locks and the stop event; false on failure.
  bool Init();
  // Empties the three caches, one lock at a time.
  void ClearCaches();
  // Gives the engine object up: m_pMsgLogic is null before the engine's
  // Release runs, so nothing re-entered from inside it can use it again.
  void ReleaseEngine() REQUIRES(m_csMsgLogic);
  // The callback events are reported to; null for none.
  IMsgLogicExCallback* Callback() const { return m_Sink.Callback(); }

  // One call into the host's callback: holds the callback registered when
  // it begins (false when none is) and counts as in flight until it goes out
  // of scope, so that Release can wait for it. Every callback is made
  // through one.
  class HostCall {
   public:
    explicit HostCall(CMsgLogicAgent* agent);
    ~HostCall();
    HostCall(const HostCall&) = delete;
    HostCall& operator=(const HostCall&) = delete;
    explicit operator bool() const { return callback_ != nullptr; }
    IMsgLogicExCallback* operator->() const { return callback_; }

   private:
    friend class CMsgLogicAgent;
    CMsgLogicAgent* const agent_;
    IMsgLogicExCallback* callback_ = nullptr;
    HostCall* outer_ = nullptr;  // the enclosing host call on this thread
  };
  // The innermost host call of the calling thread.
  static thread_local HostCall* t_hostCall;
  // Set on the agents' workers: threads of this module, which keep it
  // loaded while they run (Env::StartThread).
  static thread_local bool t_onWorker;
  // Takes a host call out of the count; wakes Release when it waits for the
  // count to come down this far.
  void EndHostCall();
  // Waits, for at most kWorkerJoinMs, until no host call that began before
  // the callback was cleared is in flight, other than those of the calling
  // thread (Release from inside a callback).
  void WaitForHostCalls();
  // Best effort: a trace line the Env cannot write (it ran out of memory,
  // say) is dropped, never thrown out of a noexcept entry point.
  void WriteTrace(const char* text) noexcept {
    try {
      m_env->DebugOutput(text);
    } catch (...) {
    }
  }
  // Starts the worker of `handle` unless it has been started; the thread
  // owns one reference. False when the thread cannot be started (the handle
  // stays null, so a later Connect tries again).
  bool StartWorker(Thread** handle, void (*proc)(void*)) REQUIRES(m_csMsgLogic);
  // The flag and name of the first saved login of userId in the login file;
  // false when there is none.
  bool FindSavedLogin(int32_t userId, int32_t* flag, std::string* name);
  // A loss of the connection: the host hears of it, then the agent resets
  // unless the engine accepted another login while the host was being told.
  void ConnectionLost();
  // Caches `count` friend records lying whole, back to back, from the start
  // of `records`, and copies those whose user has a value to out[0], out[1],
  // ... The records are converted and the new friend table built with no
  // lock held; m_csFriendValue and m_csFriend are each taken alone, briefly
  // (events/). Throws std::bad_alloc, leaving the cache as it was.
  void CacheFriendRecords(RecordView records, uint32_t count, FriendInfo* out);
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
  std::vector<uint32_t> m_vecValueUsers GUARDED_BY(m_csFriendValue);
  uint32_t m_nValueUsersClears GUARDED_BY(m_csFriendValue) = 0;
  RecursiveLock m_csPendingText ACQUIRED_BEFORE(m_csMsgLogic);
  std::map<int32_t, std::unique_ptr<char[]>, UserIdLess> m_mapPendingText
      GUARDED_BY(m_csPendingText);
  std::atomic<int32_t> m_nSelfId{-1};
  std::atomic<bool> m_bEnable{false};
  std::atomic<bool> m_bThreadRun{false};
  bool m_bReleasePending GUARDED_BY(m_csMsgLogic) = false;
  RecursiveLock m_csMsgLogic;
  IMsgLogic* m_pMsgLogic GUARDED_BY(m_csMsgLogic) = nullptr;
  CMsgLogicAgentSink m_Sink;
  std::atomic<IMsgLogicExCallback*> m_pCallback{nullptr};

  // Owners of the agent's memory: the host until Release, plus every
  // ScopedRef and every running worker.
  std::atomic<int32_t> m_nRefs{1};
  // Host calls in flight (HostCall), on every thread; while Release waits
  // for them, the count it waits for and the event that ends its wait, set
  // by the host call that brings the count down to it.
  std::atomic<int32_t> m_nHostCalls{0};
  // Of those, the ones made on the agent's workers.
  std::atomic<int32_t> m_nWorkerHostCalls{0};
  std::atomic<int32_t> m_nHostCallsAwaited{INT32_MIN};
  std::atomic<Event*> m_evHostCalls{nullptr};
  // Set by Release: wakes the workers out of their pause between passes.
  std::unique_ptr<Event> m_evStop;
  // Counts the logins the engine accepted, raised as it accepts one (under
  // m_csMsgLogic); a loss reported to the host resets the agent only if no
  // login was accepted meanwhile. The last login so reset: its Connect, if
  // still under way, does not count the agent logged in.
  std::atomic<uint32_t> m_nLoginGeneration{0};
  uint32_t m_nLostGeneration GUARDED_BY(m_csMsgLogic) = 0;
};

}  // namespace msglogic

#endif  // MSGLOGIC_AGENT_MSG_LOGIC_AGENT_H_
