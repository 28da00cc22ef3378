// Fault injection through the environment: no engine, every login result,
// workers that cannot start, and the failure of the k-th allocation for
// every k of a whole scenario (login, friend values, list, details and
// update, user list, texts, queued texts and their answer, room
// information, contact, loss, release), driven on one thread through the
// agent's entry points and its sink. For every k: no crash, no exception
// out of an entry point (each is noexcept: one would end the process), no
// leak, and every result as documented.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "agent/msg_logic_agent.h"
#include "tests/fault/fault_alloc.h"
#include "tests/support/agent_peer.h"
#include "tests/support/fake_engine.h"
#include "tests/support/fake_env.h"
#include "tests/support/records.h"
#include "tests/support/temp_dir.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MSGLOGIC_FAULT_LSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define MSGLOGIC_FAULT_LSAN 1
#endif
#if defined(MSGLOGIC_FAULT_LSAN)
#include <sanitizer/lsan_interface.h>
#endif

namespace msglogic {
namespace testing {
namespace {

namespace fault = ::msglogic::testing::fault;

// The test's own objects, wrapped so that their bookkeeping is never failed:
// a real lock, event or thread allocates nothing once made.
class QuietLock final : public Lock {
 public:
  explicit QuietLock(Lock* inner) : inner_(inner) {}
  ~QuietLock() override {
    fault::Suspend quiet;
    delete inner_;
  }
  void Enter() override {
    fault::Suspend quiet;
    inner_->Enter();
  }
  void Leave() override {
    fault::Suspend quiet;
    inner_->Leave();
  }

 private:
  Lock* const inner_;
};

class QuietEvent final : public Event {
 public:
  explicit QuietEvent(Event* inner) : inner_(inner) {}
  ~QuietEvent() override {
    fault::Suspend quiet;
    delete inner_;
  }
  void Set() override {
    fault::Suspend quiet;
    inner_->Set();
  }
  bool Wait(uint32_t ms) override {
    fault::Suspend quiet;
    return inner_->Wait(ms);
  }

 private:
  Event* const inner_;
};

class QuietThread final : public Thread {
 public:
  explicit QuietThread(Thread* inner) : inner_(inner) {}
  ~QuietThread() override {
    fault::Suspend quiet;
    delete inner_;
  }
  bool Join(uint32_t ms) override {
    fault::Suspend quiet;
    return inner_->Join(ms);
  }
  bool IsCurrent() const override { return inner_->IsCurrent(); }

 private:
  Thread* const inner_;
};

// Forwards to a recording engine with counting suspended.
class QuietEngine final : public IMsgLogic {
 public:
  explicit QuietEngine(IMsgLogic* inner) : inner_(inner) {}
  int32_t SetSink(IMsgLogicSink* sink) override { return Q([&] { return inner_->SetSink(sink); }); }
  int32_t LoginByName(const char* n, int32_t p) override { return Q([&] { return inner_->LoginByName(n, p); }); }
  int32_t LoginById(int32_t id, int32_t p) override { return Q([&] { return inner_->LoginById(id, p); }); }
  int32_t Release() override {
    Q([&] { return inner_->Release(); });
    fault::Suspend quiet;
    delete this;
    return 0;
  }
  int32_t SendText(int32_t a, int32_t b, int32_t c, int32_t d, const char* t) override {
    return Q([&] { return inner_->SendText(a, b, c, d, t); });
  }
  int32_t SetUserId(int32_t id) override { return Q([&] { return inner_->SetUserId(id); }); }
  int32_t RequestUserInfo(int32_t id) override { return Q([&] { return inner_->RequestUserInfo(id); }); }
  int32_t ContactUser(int32_t a, int32_t b, int32_t c) override {
    return Q([&] { return inner_->ContactUser(a, b, c); });
  }
  int32_t Start() override { return Q([&] { return inner_->Start(); }); }
  int32_t RequestA(int32_t v) override { return Q([&] { return inner_->RequestA(v); }); }
  int32_t RequestB(int32_t v) override { return Q([&] { return inner_->RequestB(v); }); }
  int32_t SendRoomInfo(uint32_t c, const void* p) override { return Q([&] { return inner_->SendRoomInfo(c, p); }); }
  int32_t RequestC() override { return Q([&] { return inner_->RequestC(); }); }
  int32_t KeepAlive() override { return Q([&] { return inner_->KeepAlive(); }); }
  int32_t GetFriendList() override { return Q([&] { return inner_->GetFriendList(); }); }

 private:
  ~QuietEngine() = default;
  template <typename F>
  static int32_t Q(F f) {
    fault::Suspend quiet;
    return f();
  }
  IMsgLogic* const inner_;
};

// A FakeEnv whose object factories count as one allocation each (and give
// null when it is the one to fail, as the Env documents), and whose trace,
// message box and file reads allocate as they do.
class FaultEnv : public FakeEnv {
 public:
  FaultEnv() {
    SetEngineFactory([this] { return engines.NewEngine(); });
  }
  Lock* NewLock(const char* name) override {
    if (fault::CountOne()) return nullptr;
    fault::Suspend quiet;
    return new QuietLock(FakeEnv::NewLock(name));
  }
  Event* NewEvent() override {
    if (fault::CountOne()) return nullptr;
    fault::Suspend quiet;
    return new QuietEvent(FakeEnv::NewEvent());
  }
  Thread* StartThread(void (*proc)(void*), void* arg) override {
    if (fault::CountOne()) return nullptr;
    fault::Suspend quiet;
    Thread* thread = FakeEnv::StartThread(proc, arg);
    return thread != nullptr ? new QuietThread(thread) : nullptr;
  }
  void SleepMs(uint32_t ms) override {
    fault::Suspend quiet;
    FakeEnv::SleepMs(ms);
  }
  IMsgLogic* CreateMsgLogic() override {
    if (fault::CountOne()) return nullptr;
    fault::Suspend quiet;
    IMsgLogic* engine = FakeEnv::CreateMsgLogic();
    return engine != nullptr && wrap_engines ? new QuietEngine(engine) : engine;
  }

  EngineLog engines;
  bool wrap_engines = true;
};

// Counts callbacks by slot; allocates nothing.
class CountingHost final : public IMsgLogicExCallback {
 public:
  void* GetInterface(int32_t id) override {
    return id == MSG_IID_LOGICEX_CALLBACK ? static_cast<IMsgLogicExCallback*>(this) : nullptr;
  }
  int32_t OnFriendList(int32_t, const FriendInfo*) override { return Note(3); }
  int32_t OnEventA(int32_t, const char*) override { return Note(4); }
  int32_t OnUserList(int32_t, const UserEntry*) override { return Note(5); }
  int32_t OnUserData(int32_t, int32_t, const void*) override { return Note(6); }
  int32_t OnEventB(int32_t) override { return Note(7); }
  int32_t OnEventC() override { return Note(8); }
  int32_t OnEventD(int32_t, int32_t, int32_t) override { return Note(9); }
  int32_t OnConnectionLost() override { return Note(10); }
  int total() const { return total_.load(); }

 private:
  int32_t Note(int) {
    total_.fetch_add(1);
    return 0;
  }
  std::atomic<int> total_{0};
};

const char kLogin[] = "[loginInfo]\r\nid1=100\r\nflag1=1\r\n";

// Checks made between steps: neither counted nor failed.
#define QUIET_EXPECT(...)          \
  do {                             \
    fault::Suspend quiet_;         \
    __VA_ARGS__;                   \
  } while (0)

// How Connect answered over every failing allocation: each documented
// failure must have been reached by some k.
int g_connect_answers[5] = {};

class ScenarioRun {
 public:
  explicit ScenarioRun(uint64_t fail_at) : fail_at_(fail_at) {
    dir_.Write("KWPMsg/loginInfo.ini", kLogin);
    env_.SetWorkingDirectory(dir_.path());
  }

  // Runs the scenario armed; returns how many allocations it counted.
  uint64_t Run() {
    fault::Arm(fail_at_);
    Scenario();
    const uint64_t count = fault::Disarm();
    env_.Settle();
    QUIET_EXPECT(EXPECT_EQ(env_.LockOrderViolations(), std::vector<std::string>()) << Where());
    QUIET_EXPECT(EXPECT_EQ(env_.engines.engines_alive(), 0) << Where());
    return count;
  }

 private:
  std::string Where() const { return "failing allocation " + std::to_string(fail_at_); }

  // Runs one step; `hit` tells whether the failing allocation was in it.
  template <typename F>
  auto Step(bool* hit, F f) {
    const bool before = fault::Failed();
    auto result = f();
    *hit = fault::Failed() && !before;
    return result;
  }

  // A host command: 0/1 as documented when it works; -1 when not logged in
  // or when its memory could not be had, and then the engine heard nothing.
  template <typename F>
  void Command(const char* what, int32_t ok, F f) {
    const size_t calls = Quiet([&] { return env_.engines.Calls().size(); });
    const bool enabled = AgentPeer(agent_).enabled();
    bool hit;
    const int32_t result = Step(&hit, f);
    fault::Suspend quiet;
    if (!enabled) {
      EXPECT_EQ(result, -1) << what << ", " << Where();
    } else if (result == -1 && ok != -1) {
      EXPECT_TRUE(hit) << what << " refused without a failure, " << Where();
    } else {
      EXPECT_EQ(result, ok) << what << ", " << Where();
    }
    if (result == -1) {
      EXPECT_EQ(env_.engines.Calls().size(), calls) << what << ", " << Where();
    }
  }

  // An engine event: its usual result whatever happens; dropped (nothing
  // reported) when its memory could not be had.
  template <typename F>
  void Event(const char* what, int32_t usual, F f) {
    const int callbacks = host_.total();
    bool hit;
    const int32_t result = Step(&hit, f);
    fault::Suspend quiet;
    EXPECT_EQ(result, usual) << what << ", " << Where();
    if (hit) {
      EXPECT_EQ(host_.total(), callbacks) << what << " reported despite a failure, " << Where();
    }
  }

  template <typename F>
  static auto Quiet(F f) {
    fault::Suspend quiet;
    return f();
  }

  void Scenario() {
    agent_ = CMsgLogicAgent::Create(&env_);
    if (agent_ == nullptr) {
      QUIET_EXPECT(EXPECT_TRUE(fault::Failed()) << "no agent without a failure, " << Where());
      return;
    }
    agent_->SetCallback(&host_, MSG_IID_LOGICEX_CALLBACK);
    IMsgLogicSink* sink = AgentPeer(agent_).sink();

    bool hit;
    const int32_t connected = Step(&hit, [&] { return agent_->Connect(100, 0); });
    if (connected >= 0 && connected <= 4) ++g_connect_answers[connected];
    QUIET_EXPECT({
      // 3: the login file could not be read; 4: no engine object.
      if (connected == 3 || connected == 4) {
        EXPECT_TRUE(hit) << "Connect answered " << connected << " without a failure, " << Where();
      } else {
        EXPECT_EQ(connected, 0) << Where();
      }
      EXPECT_EQ(AgentPeer(agent_).enabled(), connected == 0) << Where();
    });

    // Records built beforehand, outside the count.
    const auto values = Quiet([] { return ValueList({{1, 10}, {2, 20}}).Exact(); });
    const FriendSpec ann{1, 10, 0, 0, 0, 1, "ann", "", "about " + kZhongUtf8};
    const FriendSpec bo{2, 20, 0, 0, 0, 2, kZhongUtf8, "B", ""};
    const auto list = Quiet([&] { return FriendList({ann, bo}).Exact(); });
    const auto info = Quiet([&] { return FriendRecord(ann).Exact(); });
    const auto update = Quiet([&] { return FriendRecord(bo).Exact(); });
    const auto users = Quiet([] { return UserList({{5, 1, "u" + kWenUtf8}, {6, 0, "x"}}).Exact(); });
    const auto text = Quiet([] { return TextRecord(1, "hello").Exact(); });
    const auto event_a = Quiet([] { return Bytes().I32(3).Fill(18).Text("a").U8(0).Exact(); });
    const int32_t event_d[3] = {1, 2, 3};
    const int32_t self = 42;
    const int32_t answer[2] = {7, 70};
    RoomInfo rooms[2] = {};
    std::memcpy(rooms[0].szText1, "\xD6\xD0", 2);
    std::memcpy(rooms[1].szText2, "hall", 4);

    Event("OnSelfId", 0, [&] { return sink->OnSelfId(&self); });
    Event("OnFriendValues", 2, [&] { return sink->OnFriendValues(values.get()); });
    Event("OnFriendList", 0, [&] { return sink->OnFriendList(list.get()); });
    Event("OnFriendInfo", 0, [&] { return sink->OnFriendInfo(info.get()); });
    Event("OnFriendUpdate", 0, [&] { return sink->OnFriendUpdate(update.get()); });
    Event("OnUserList", 0, [&] { return sink->OnUserList(users.get()); });
    Event("OnUserText", 0, [&] { return sink->OnUserText(5, text.get()); });
    Event("OnEventA", 0, [&] { return sink->OnEventA(event_a.get()); });
    Event("OnEventB", 0, [&] { return sink->OnEventB(9); });
    Event("OnEventC", 0, [&] { return sink->OnEventC(); });
    Event("OnEventD", 0, [&] { return sink->OnEventD(event_d); });
    Event("OnActivity", 0, [&] { return sink->OnActivity(); });

    const bool ann_cached = Quiet([&] {
      FriendInfo f;
      return AgentPeer(agent_).find_friend(1, &f);
    });
    Command("SendText to a friend", ann_cached ? 0 : 1, [&] { return agent_->SendText(1, "hi ann"); });
    Command("SendText to a stranger", 1, [&] { return agent_->SendText(7, "hi stranger"); });
    const bool queued = Quiet([&] {
      std::string t;
      return AgentPeer(agent_).find_pending(7, &t);
    });
    const int sent_before = Quiet([&] { return env_.engines.Count(kSendText); });
    Event("OnUserInfo", 1, [&] { return sink->OnUserInfo(answer); });
    QUIET_EXPECT({
      EXPECT_EQ(AgentPeer(agent_).pending_count(), 0u) << Where();
      if (queued) {
        EXPECT_EQ(env_.engines.Count(kSendText), sent_before + 1) << Where();
      }
    });
    Command("SendRoomInfo", 0, [&] { return agent_->SendRoomInfo(2, rooms); });
    Command("ForwardRequestA", 0, [&] { return agent_->ForwardRequestA(1); });
    Command("GetFriendList", 0, [&] { return agent_->GetFriendList(); });
    if (ann_cached) Command("ContactUser", 0, [&] { return agent_->ContactUser(1); });
    Command("ContactUser (not online)", -1, [&] { return agent_->ContactUser(2); });

    // The loss, then the end.
    const int before_loss = host_.total();
    sink->OnDisconnect();
    QUIET_EXPECT({
      EXPECT_EQ(host_.total(), before_loss + 1) << Where();
      AgentPeer peer(agent_);
      EXPECT_FALSE(peer.enabled()) << Where();
      EXPECT_EQ(peer.friend_count(), 0u) << Where();
      EXPECT_EQ(peer.value_count(), 0u) << Where();
      EXPECT_EQ(peer.pending_count(), 0u) << Where();
      EXPECT_EQ(peer.self_id(), -1) << Where();
    });
    EXPECT_EQ(agent_->Release(), 0);
  }

  const uint64_t fail_at_;
  TempDir dir_;
  CountingHost host_;
  FaultEnv env_;
  CMsgLogicAgent* agent_ = nullptr;
};

TEST(FaultInjection, EveryAllocationOfAWholeScenarioMayFail) {
  uint64_t total;
  {
    ScenarioRun clean(0);
    total = clean.Run();
  }
  ASSERT_GT(total, 20u);
  for (uint64_t k = 1; k <= total + 1; ++k) {
    {
      ScenarioRun run(k);
      run.Run();
    }
#if defined(MSGLOGIC_FAULT_LSAN)
    ASSERT_EQ(__lsan_do_recoverable_leak_check(), 0) << "leak with failing allocation " << k;
#endif
    if (HasFailure()) {
      ADD_FAILURE() << "stopped at failing allocation " << k << " of " << total;
      return;
    }
  }
  // Some allocation failed while the login file was read (no saved login:
  // 3) and one was the engine object (4); the others still logged in.
  EXPECT_GT(g_connect_answers[3], 0);
  EXPECT_GT(g_connect_answers[4], 0);
  EXPECT_GT(g_connect_answers[0], 0);
  EXPECT_EQ(g_connect_answers[1] + g_connect_answers[2], 0);
  std::printf("failed each of %llu allocations in turn\n", static_cast<unsigned long long>(total));
}

// --- The environment's other refusals ---

class EnvFaultTest : public ::testing::Test {
 protected:
  EnvFaultTest() {
    dir.Write("KWPMsg/loginInfo.ini",
              "[loginInfo]\r\nid1=100\r\nflag1=1\r\nid2=200\r\nflag2=0\r\nname2=ab\r\n");
    env.SetWorkingDirectory(dir.path());
    env.wrap_engines = false;
    agent = CMsgLogicAgent::Create(&env);
    agent->SetCallback(&host, MSG_IID_LOGICEX_CALLBACK);
  }
  ~EnvFaultTest() override {
    if (agent != nullptr) agent->Release();
    EXPECT_EQ(env.LockOrderViolations(), std::vector<std::string>());
  }
  void ExpectCommandsRefused() {
    RoomInfo room{};
    EXPECT_EQ(agent->ForwardRequestA(1), -1);
    EXPECT_EQ(agent->SendText(1, "x"), -1);
    EXPECT_EQ(agent->GetFriendList(), -1);
    EXPECT_EQ(agent->SendRoomInfo(1, &room), -1);
    EXPECT_EQ(agent->ContactUser(1), -1);
  }

  TempDir dir;
  CountingHost host;
  FaultEnv env;
  CMsgLogicAgent* agent = nullptr;
};

TEST_F(EnvFaultTest, NoEngineObjectAnswersFourAndLeavesTheAgentLoggedOut) {
  env.SetEngineFactory([] { return static_cast<IMsgLogic*>(nullptr); });
  EXPECT_EQ(agent->Connect(100, 0), 4);
  EXPECT_EQ(agent->Connect(200, 0), 4);
  EXPECT_FALSE(AgentPeer(agent).enabled());
  EXPECT_EQ(env.ThreadsStarted(), 0);
  ExpectCommandsRefused();
  // An engine that can be had later is used.
  env.SetEngineFactory([this] { return env.engines.NewEngine(); });
  EXPECT_EQ(agent->Connect(100, 0), 0);
  env.Settle();
}

TEST_F(EnvFaultTest, EveryLoginResultOtherThanTwoIsARefusal) {
  const int32_t results[] = {INT32_MIN, -1, 0, 1, 3, 4, 100, INT32_MAX, 2};
  for (int32_t r : results) {
    SCOPED_TRACE(r);
    env.engines.login_by_id_result = r;
    env.engines.login_by_name_result = r;
    env.engines.Clear();
    const int32_t by_id = agent->Connect(100, 7);
    const int32_t by_name = agent->Connect(200, 8);
    env.Settle();
    EXPECT_EQ(by_id, r == 2 ? 0 : 2);
    EXPECT_EQ(by_name, r == 2 ? 0 : 1);
    EXPECT_EQ(AgentPeer(agent).enabled(), r == 2);
    EXPECT_EQ(env.engines.Count(kStart), r == 2 ? 2 : 0);
    EXPECT_EQ(env.engines.Count(kSetUserId), r == 2 ? 1 : 0);
    if (r != 2) ExpectCommandsRefused();
  }
  EXPECT_EQ(agent->Connect(300, 0), 3);  // no saved login at all
}

TEST_F(EnvFaultTest, WorkersThatCannotStartAreStartedByTheNextLogin) {
  env.FailThreadStarts(2);
  EXPECT_EQ(agent->Connect(100, 0), 0);
  EXPECT_EQ(env.ThreadsStarted(), 0);
  EXPECT_TRUE(AgentPeer(agent).enabled());
  EXPECT_EQ(AgentPeer(agent).refs(), 1);  // no reference handed to a worker that never ran
  std::vector<std::string> traces = env.Traces();
  EXPECT_NE(std::find(traces.begin(), traces.end(),
                      "CMsgLogicAgent::Connect:supervise thread not started"),
            traces.end());
  EXPECT_EQ(agent->GetFriendList(), 0);

  env.FailThreadStarts(1);  // the supervision worker fails again, the release worker starts
  EXPECT_EQ(agent->Connect(100, 0), 0);
  env.Settle();
  EXPECT_EQ(env.ThreadsStarted(), 1);
  EXPECT_FALSE(AgentPeer(agent).supervise_thread());
  EXPECT_TRUE(AgentPeer(agent).release_thread());

  EXPECT_EQ(agent->Connect(100, 0), 0);
  env.Settle();
  EXPECT_EQ(env.ThreadsStarted(), 2);
  EXPECT_TRUE(AgentPeer(agent).supervise_thread());
}

// --- The platform's own threads ---

// FaultEnv, but the workers are started by the real environment, whose
// allocations for a thread and its handle are counted and failed like any
// other. Each worker runs through a wrapper that counts the workers that
// begin and end, so a worker running without a handle shows.
class RealThreadsEnv final : public FaultEnv {
 public:
  Thread* StartThread(void (*proc)(void*), void* arg) override {
    Start* start;
    {
      fault::Suspend quiet;
      starts_.push_back(Start{this, proc, arg});  // kept: an orphan would use it
      start = &starts_.back();
    }
    Thread* thread = Env::Default()->StartThread(&Run, start);
    if (thread != nullptr) handles_.fetch_add(1);
    return thread;
  }
  // Waits (bounded) until every worker with a handle has begun.
  void WaitBegun() {
    for (int i = 0; i < 500 && begun_.load() < handles_.load(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  // Waits (bounded) until every worker that began has ended; false if
  // some did not.
  bool AllEnded() {
    for (int i = 0; i < 1000 && ended_.load() != begun_.load(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return ended_.load() == begun_.load();
  }
  int begun() const { return begun_.load(); }
  int handles() const { return handles_.load(); }

 private:
  struct Start {
    RealThreadsEnv* env;
    void (*proc)(void*);
    void* arg;
  };
  static void Run(void* p) {
    const Start& start = *static_cast<Start*>(p);
    start.env->begun_.fetch_add(1);
    start.proc(start.arg);
    start.env->ended_.fetch_add(1);
  }
  std::deque<Start> starts_;  // by the thread that calls Connect
  std::atomic<int> begun_{0};
  std::atomic<int> ended_{0};
  std::atomic<int> handles_{0};
};

TEST(FaultInjectionThreads, AWorkerStartsWithItsHandleOrNotAtAll) {
  TempDir dir;
  dir.Write("KWPMsg/loginInfo.ini", kLogin);
  uint64_t k = 1;
  bool any_refused = false;
  for (;; ++k) {
    ASSERT_LT(k, 1000u);
    SCOPED_TRACE("failing allocation " + std::to_string(k));
    RealThreadsEnv env;
    env.SetWorkingDirectory(dir.path());
    CMsgLogicAgent* agent = CMsgLogicAgent::Create(&env);
    ASSERT_NE(agent, nullptr);
    fault::Arm(k);
    const int32_t connected = agent->Connect(100, 0);
    const bool failed = fault::Failed();
    fault::Disarm();
    AgentPeer peer(agent);
    env.WaitBegun();
    EXPECT_EQ(env.begun(), env.handles()) << "a worker runs without a handle";
    if (connected == 0) {
      const int workers = int{peer.supervise_thread()} + int{peer.release_thread()};
      any_refused |= workers < 2;
      // The host's reference and one per worker with a handle.
      EXPECT_EQ(peer.refs(), 1 + workers);
      EXPECT_EQ(env.handles(), workers);
      // The next login starts what is missing, and nothing twice.
      EXPECT_EQ(agent->Connect(100, 0), 0);
      EXPECT_TRUE(peer.supervise_thread());
      EXPECT_TRUE(peer.release_thread());
    }
    EXPECT_EQ(agent->Release(), 0);
    EXPECT_TRUE(env.AllEnded());
    EXPECT_EQ(env.begun(), env.handles()) << "a worker ran without a handle";
#if defined(MSGLOGIC_FAULT_LSAN)
    ASSERT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
    if (HasFailure() || !failed) break;
  }
  // Both the thread's own allocations and its handle's were reached.
  EXPECT_TRUE(any_refused);
}

TEST(FaultInjectionCreate, NoLockOrEventMeansNoAgent) {
  // Every object the agent needs from the Env, refused in turn.
  // The agent's memory, its six locks, its stop event and the event that
  // ends Release's wait for calls: 9 in all.
  for (uint64_t k = 1; k <= 10; ++k) {
    FaultEnv env;
    fault::Arm(k);
    CMsgLogicAgent* agent = CMsgLogicAgent::Create(&env);
    fault::Disarm();
    EXPECT_EQ(agent == nullptr, k <= 9) << "object " << k;
    if (agent != nullptr) agent->Release();
  }
}

}  // namespace
}  // namespace testing
}  // namespace msglogic
