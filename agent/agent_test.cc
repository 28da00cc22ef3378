// The agent object as a host binary sees it: raw vtable slots, interface
// ids, callback registration, and the agent's lifetime under every way the
// host may release it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/support/agent_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/vtable.h"

namespace msglogic {
namespace testing {
namespace {

using AgentObjectTest = AgentTest;

TEST_F(AgentObjectTest, GetInterfaceAnswersOnlyIdOneWithTheAgentItself) {
  void* self = agent;  // what CreateMsgLogicEx hands out: the IMsgLogicEx
  EXPECT_EQ(CallSlot<void*>(self, 0, int32_t{1}), self);
  EXPECT_EQ(CallSlot<void*>(self, 0, int32_t{0}), nullptr);
  EXPECT_EQ(CallSlot<void*>(self, 0, int32_t{2}), nullptr);
  EXPECT_EQ(CallSlot<void*>(self, 0, int32_t{-1}), nullptr);
}

TEST_F(AgentObjectTest, HostCommandsThroughRawSlotsRefuseWorkBeforeLogin) {
  void* self = agent;
  RoomInfo room{};
  EXPECT_EQ((CallSlot<int32_t, int32_t>(self, 5, 7)), -1);
  EXPECT_EQ((CallSlot<int32_t, int32_t, const char*>(self, 6, 5, "hi")), -1);
  EXPECT_EQ((CallSlot<int32_t, int32_t>(self, 7, -5)), -1);
  EXPECT_EQ((CallSlot<int32_t>(self, 8)), -1);
  EXPECT_EQ((CallSlot<int32_t>(self, 9)), -1);
  EXPECT_EQ((CallSlot<int32_t, uint32_t, const RoomInfo*>(self, 10, 1u, &room)), -1);
  EXPECT_EQ((CallSlot<int32_t, int32_t>(self, 11, 5)), -1);
  EXPECT_EQ(engines.engines_created(), 0);
  EXPECT_TRUE(host.Events().empty());
  // Only GetFriendList leaves a trace when refused: its entry line and why.
  EXPECT_EQ(env.Traces(), (std::vector<std::string>{"CMsgLogicAgent::GetFriendList",
                                                    "CMsgLogicAgent::GetFriendList:!m_bEnable!"}));
}

TEST_F(AgentObjectTest, ConnectAndSetCallbackThroughRawSlots) {
  void* self = agent;
  WriteLogin("id1=100\r\nflag1=1\r\n");
  EXPECT_EQ((CallSlot<int32_t, int32_t, int32_t>(self, 4, 100, 9)), 0);
  ASSERT_EQ(engines.Count(kLoginById), 1);
  EXPECT_EQ(engines.Calls(kLoginById)[0].args, (std::vector<int64_t>{100, 9}));

  RecordingHost other;
  void* registered =
      CallSlot<void*, IMsgObject*, int32_t>(self, 3, &other, int32_t{2});
  EXPECT_EQ(registered, static_cast<IMsgLogicExCallback*>(&other));
  // Slot 1 ends the agent.
  EXPECT_EQ((CallSlot<int32_t>(self, 1)), 0);
  agent = nullptr;
  EXPECT_EQ(engines.engines_alive(), 0);
}

// Slot 2 is one entry on every compiler: a host built with a plain virtual
// destructor sends `delete agent` there with flags 1, an explicit destructor
// call (or `::delete` as older clang-cl compiles it) with 0. Either ends a
// logged-in agent as Release does; with 0 the caller gets null back, so
// freeing what it got frees nothing. (LeakSanitizer checks the memory.)
TEST_F(AgentObjectTest, SlotTwoEndsTheAgentLikeReleaseWhateverTheFlags) {
  for (uint32_t flags : {uint32_t{MSG_DESTROY_FREE}, uint32_t{0}, uint32_t{5}}) {
    SCOPED_TRACE(flags);
    if (agent == nullptr) {
      agent = CMsgLogicAgent::Create(&env);
      ASSERT_NE(agent, nullptr);
      agent->SetCallback(&host, MSG_IID_LOGICEX_CALLBACK);
    }
    ConnectOk();
    EXPECT_EQ(env.RunningThreads(), 2);
    void* self = agent;
    void* answer = CallSlot<void*>(self, 2, flags);
    agent = nullptr;
    EXPECT_EQ(answer, (flags & MSG_DESTROY_FREE) != 0 ? self : nullptr);
    env.Settle();
    EXPECT_EQ(env.RunningThreads(), 0);
    EXPECT_EQ(engines.engines_alive(), 0);
  }
  EXPECT_EQ(host.Count(kOnConnectionLost), 0);
}

// The sink's slot 123 (its destructor entry) belongs to the agent: an engine
// that calls it changes nothing, and the sink keeps working.
TEST_F(AgentObjectTest, SinkSlot123DoesNothing) {
  ConnectOk();
  IMsgLogicSink* s = sink();
  EXPECT_EQ((CallSlot<void*>(static_cast<void*>(s), 123, uint32_t{MSG_DESTROY_FREE})), s);
  EXPECT_EQ((CallSlot<void*>(static_cast<void*>(s), 123, uint32_t{0})), s);
  EXPECT_EQ((CallSlot<int32_t, int32_t>(static_cast<void*>(s), 82, 5)), 0);
  ASSERT_EQ(host.Count(kOnEventB), 1);
  EXPECT_EQ(engines.engines_alive(), 1);
}

TEST_F(AgentObjectTest, SetCallbackRegistersWhatTheObjectAnswersForIdTwo) {
  RecordingHost first;
  RecordingHost second;
  EXPECT_EQ(agent->SetCallback(&first, 2), &first);
  EXPECT_EQ(first.interface_queries(), 1);
  EXPECT_EQ(peer().callback(), &first);
  EXPECT_EQ(peer().sink_callback(), &first);

  // Another id: the object is not asked, the registration stays, and the
  // sink still gets the agent's callback.
  EXPECT_EQ(agent->SetCallback(&second, 1), &first);
  EXPECT_EQ(second.interface_queries(), 0);
  EXPECT_EQ(peer().sink_callback(), &first);

  EXPECT_EQ(agent->SetCallback(&second, 2), &second);
  EXPECT_EQ(peer().sink_callback(), &second);

  second.answer_interface = false;
  EXPECT_EQ(agent->SetCallback(&second, 2), nullptr);
  EXPECT_EQ(peer().sink_callback(), nullptr);

  EXPECT_EQ(agent->SetCallback(&first, 2), &first);
  EXPECT_EQ(agent->SetCallback(nullptr, 2), nullptr);
  EXPECT_EQ(peer().callback(), nullptr);
  EXPECT_EQ(peer().sink_callback(), nullptr);
}

TEST_F(AgentObjectTest, ReleaseWithoutConnectWaitsForNothingAndCallsNothing) {
  EXPECT_EQ(agent->Release(), 0);
  agent = nullptr;
  EXPECT_EQ(env.ThreadsStarted(), 0);
  EXPECT_EQ(engines.engines_created(), 0);
  EXPECT_TRUE(host.Events().empty());
}

TEST_F(AgentObjectTest, ReleaseAfterFailedConnectReleasesTheEngineItMade) {
  EXPECT_EQ(agent->Connect(100, 0), 3);  // no login file
  EXPECT_EQ(engines.engines_alive(), 1);
  ReleaseAgent();
  EXPECT_EQ(engines.engines_alive(), 0);
  EXPECT_EQ(env.ThreadsStarted(), 0);
}

TEST_F(AgentObjectTest, ReleaseStopsWorkersReleasesEngineAndClearsState) {
  ConnectOk();
  int32_t self_id = 7;
  sink()->OnSelfId(&self_id);
  EXPECT_EQ(peer().self_id(), 7);
  EXPECT_EQ(env.RunningThreads(), 2);

  ReleaseAgent();
  env.Settle();
  EXPECT_EQ(env.RunningThreads(), 0);
  EXPECT_EQ(engines.engines_alive(), 0);
  EXPECT_EQ(host.Count(kOnConnectionLost), 0);  // Release tells the host nothing
}

TEST_F(AgentObjectTest, TwoAgentsShareNothing) {
  CMsgLogicAgent* other = CMsgLogicAgent::Create(&env);
  ASSERT_NE(other, nullptr);
  RecordingHost other_host;
  other->SetCallback(&other_host, 2);
  int32_t id = 42;
  sink()->OnSelfId(&id);
  sink()->OnEventC();
  EXPECT_EQ(AgentPeer(other).self_id(), -1);
  EXPECT_EQ(other_host.Count(kOnEventC), 0);
  EXPECT_EQ(host.Count(kOnEventC), 1);
  other->Release();
}

// --- Lifetime: Release from anywhere ---

TEST_F(AgentObjectTest, ReleaseFromHostCallbackOnEngineThread) {
  ConnectOk();
  std::atomic<int> released{0};
  host.hook = [&](const HostEvent& event) {
    if (event.slot == kOnEventC) {
      agent->Release();
      released++;
    }
  };
  IMsgLogicSink* engine_sink = sink();
  std::thread engine_thread([&] { EXPECT_EQ(engine_sink->OnEventC(), 0); });
  engine_thread.join();
  agent = nullptr;
  EXPECT_EQ(released.load(), 1);
  EXPECT_EQ(engines.engines_alive(), 0);
  // The agent released its engine on the engine's thread, as the host asked.
  EXPECT_EQ(engines.Count(kRelease), 1);
  env.Settle();
  EXPECT_EQ(env.RunningThreads(), 0);
}

TEST_F(AgentObjectTest, ReleaseFromConnectionLostOnTheSupervisionWorker) {
  ConnectOk();
  std::thread::id lost_on;
  host.hook = [&](const HostEvent& event) {
    if (event.slot == kOnConnectionLost) {
      lost_on = event.thread;
      agent->Release();  // on the worker: it must not wait for itself
    }
  };
  env.Advance(24000);  // no activity: the loss is declared within 21-23 s
  ASSERT_EQ(host.Count(kOnConnectionLost), 1);
  EXPECT_NE(lost_on, std::this_thread::get_id());
  agent = nullptr;
  env.Settle();
  EXPECT_EQ(env.RunningThreads(), 0);
  EXPECT_EQ(engines.engines_alive(), 0);
}

TEST_F(AgentObjectTest, WorkerThatOutlivesReleaseWaitNeverTouchesFreedMemory) {
  ConnectOk();
  std::unique_ptr<Event> unblock(env.NewEvent());
  std::atomic<bool> in_callback{false};
  host.hook = [&](const HostEvent& event) {
    if (event.slot == kOnConnectionLost) {
      in_callback = true;
      env.WaitFor(unblock.get());  // held up inside the host
    }
  };
  env.Advance(24000);
  ASSERT_TRUE(in_callback.load());

  // Release on another host thread: its waits end after 5000 ms of virtual
  // time, and it goes on while the worker is still inside the callback.
  ReleaseFromAnotherThread();
  EXPECT_EQ(engines.engines_alive(), 0);
  EXPECT_EQ(env.RunningThreads(), 1);
  EXPECT_EQ(env.ModulePins(), 0);  // the worker keeps the module loaded itself

  // The worker comes back, resets the (still allocated) agent, and ends.
  unblock->Set();
  env.Settle();
  EXPECT_EQ(env.RunningThreads(), 0);
}

TEST_F(AgentObjectTest, CallbackOnAnEngineThreadThatOutlivesReleaseKeepsTheModuleLoaded) {
  ConnectOk();
  std::unique_ptr<Event> unblock(env.NewEvent());
  std::atomic<bool> in_callback{false};
  host.hook = [&](const HostEvent& event) {
    if (event.slot == kOnEventC) {
      in_callback = true;
      env.WaitFor(unblock.get());  // held up inside the host
    }
  };
  std::thread engine_thread([s = sink()] { s->OnEventC(); });
  while (!in_callback.load()) std::this_thread::yield();
  ReleaseFromAnotherThread();
  // That thread comes back through the module's code after Release.
  EXPECT_EQ(env.ModulePins(), 1);
  unblock->Set();
  engine_thread.join();
}

// --- The event sink, slot by slot ---

// Slot table of the engine's sink interface: argument count and result
// ('0', '1', 'n' for nothing, 'c' for the list's count).
struct SinkSlot {
  int first;
  int last;
  int args;
  char result;
};
constexpr SinkSlot kSinkSlots[] = {
    {0, 0, 2, '0'},     {1, 1, 3, '0'},     {2, 5, 1, '0'},     {6, 6, 2, '0'},
    {7, 7, 1, '0'},     {8, 8, 1, '1'},     {9, 9, 1, '1'},     {10, 20, 1, '0'},
    {21, 21, 2, '0'},   {22, 25, 1, '0'},   {26, 26, 2, '0'},   {27, 41, 1, '0'},
    {42, 43, 1, 'n'},   {44, 60, 1, '0'},   {61, 61, 3, '0'},   {62, 63, 0, '0'},
    {64, 66, 1, '0'},   {67, 68, 0, 'n'},   {69, 69, 2, 'n'},   {70, 71, 0, 'n'},
    {72, 72, 2, 'n'},   {73, 73, 0, 'n'},   {74, 74, 1, 'n'},   {75, 75, 1, '0'},
    {76, 77, 1, 'n'},   {78, 87, 1, '0'},   {88, 88, 0, '0'},   {89, 89, 1, '0'},
    {90, 90, 0, '0'},   {91, 93, 1, '0'},   {94, 95, 1, 'n'},   {96, 96, 0, 'n'},
    {97, 97, 0, '0'},   {98, 98, 2, 'n'},   {99, 99, 1, '0'},   {100, 100, 1, 'n'},
    {101, 101, 0, 'n'}, {102, 121, 1, 'n'}, {122, 122, 1, 'c'},
};

TEST_F(AgentObjectTest, EverySinkSlotTakesItsArgumentsAndAnswersItsResult) {
  // A record every handler can read: all zero (empty lists, type 0 text,
  // friend record with empty texts, user id 0) except where set below.
  alignas(8) uint8_t record[512] = {};
  int slots_seen = 0;
  for (const SinkSlot& row : kSinkSlots) {
    for (int slot = row.first; slot <= row.last; ++slot, ++slots_seen) {
      SCOPED_TRACE(slot);
      void* s = sink();
      const MsgWord p = reinterpret_cast<MsgWord>(record);
      if (row.result == 'n') {
        switch (row.args) {
          case 0: CallSlot<void>(s, slot); break;
          case 1: CallSlot<void, MsgWord>(s, slot, p); break;
          case 2: CallSlot<void, MsgWord, MsgWord>(s, slot, 0, p); break;
        }
        continue;
      }
      int32_t result = -99;
      switch (row.args) {
        case 0: result = CallSlot<int32_t>(s, slot); break;
        case 1: result = CallSlot<int32_t, MsgWord>(s, slot, p); break;
        case 2: result = CallSlot<int32_t, MsgWord, MsgWord>(s, slot, 0, p); break;
        case 3: result = CallSlot<int32_t, MsgWord, MsgWord, MsgWord>(s, slot, 0, 0, p); break;
      }
      const int32_t expected = row.result == '1' ? 1 : 0;  // 'c': the count, 0 here
      EXPECT_EQ(result, expected);
    }
  }
  EXPECT_EQ(slots_seen, 123);

  // The value-list slot answers the list's count.
  const uint32_t values[] = {2, 5, 50, 6, 60};
  EXPECT_EQ((CallSlot<int32_t, MsgWord>(sink(), 122, reinterpret_cast<MsgWord>(values))), 2);
}

TEST_F(AgentObjectTest, NoActionSlotsChangeNothing) {
  ConnectOk();
  int32_t self_id = 5;
  sink()->OnSelfId(&self_id);
  host.Clear();
  engines.Clear();
  env.ClearTraces();
  uint8_t record[64] = {};
  for (const SinkSlot& row : kSinkSlots) {
    for (int slot = row.first; slot <= row.last; ++slot) {
      // Only the slots the agent has no handler for.
      if (slot == 6 || slot == 9 || slot == 36 || slot == 37 || slot == 39 ||
          slot == 80 || slot == 82 || slot == 85 || slot == 87 || slot == 88 ||
          slot == 90 || slot == 91 || slot == 101 || slot == 122) {
        continue;
      }
      const MsgWord p = reinterpret_cast<MsgWord>(record);
      if (row.args == 0) CallSlot<void>(sink(), slot);
      if (row.args == 1) CallSlot<void, MsgWord>(sink(), slot, p);
      if (row.args == 2) CallSlot<void, MsgWord, MsgWord>(sink(), slot, p, p);
      if (row.args == 3) CallSlot<void, MsgWord, MsgWord, MsgWord>(sink(), slot, p, p, p);
    }
  }
  EXPECT_TRUE(host.Events().empty());
  EXPECT_TRUE(engines.Calls().empty());
  EXPECT_TRUE(env.Traces().empty());
  EXPECT_TRUE(peer().enabled());
  EXPECT_EQ(peer().self_id(), 5);
}

TEST_F(AgentObjectTest, RelaysReachTheHostOnlyOnceACallbackIsRegistered) {
  agent->SetCallback(nullptr, 2);
  const int32_t values[3] = {1, -2, 3};
  EXPECT_EQ(sink()->OnEventB(0), 0);
  EXPECT_EQ(sink()->OnEventC(), 0);
  EXPECT_EQ(sink()->OnEventD(values), 0);
  EXPECT_TRUE(host.Events().empty());

  agent->SetCallback(&host, 2);
  EXPECT_EQ(sink()->OnEventB(0), 0);  // 0 is relayed like any value
  EXPECT_EQ(sink()->OnEventC(), 0);
  EXPECT_EQ(sink()->OnEventD(values), 0);
  auto events = host.Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].slot, kOnEventB);
  EXPECT_EQ(events[0].args, (std::vector<int64_t>{0}));
  EXPECT_EQ(events[1].slot, kOnEventC);
  EXPECT_EQ(events[2].slot, kOnEventD);
  EXPECT_EQ(events[2].args, (std::vector<int64_t>{1, -2, 3}));
}

TEST_F(AgentObjectTest, SelfIdIsStoredAsReported) {
  int32_t id = 1234;
  EXPECT_EQ(sink()->OnSelfId(&id), 0);
  EXPECT_EQ(peer().self_id(), 1234);
  id = -1;
  EXPECT_EQ(sink()->OnSelfId(&id), 0);
  EXPECT_EQ(peer().self_id(), -1);
  EXPECT_TRUE(host.Events().empty());
}

TEST_F(AgentObjectTest, EventBPassesTheArgumentItselfNotWhatItPointsTo) {
  EXPECT_EQ((CallSlot<int32_t, int32_t>(sink(), 82, int32_t{0x1234})), 0);
  ASSERT_EQ(host.Count(kOnEventB), 1);
  EXPECT_EQ(host.Events(kOnEventB)[0].args[0], 0x1234);
}

TEST_F(AgentObjectTest, ReleaseReturnsOnlyAfterCallbacksUnderWayOnOtherThreadsReturned) {
  // An engine thread is inside OnEventB, its callback under way, when the
  // host releases the agent; the host may free its callback object as soon
  // as Release returns, so the callback must have returned by then.
  std::atomic<bool> in_callback{false};
  std::atomic<bool> let_go{false};
  std::atomic<bool> callback_returned{false};
  host.hook = [&](const HostEvent& event) {
    if (event.slot != kOnEventB) return;
    in_callback = true;
    while (!let_go) std::this_thread::yield();
    callback_returned = true;
  };
  IMsgLogicSink* engine_side = sink();
  std::thread engine([&] { engine_side->OnEventB(1); });
  while (!in_callback) std::this_thread::yield();

  std::atomic<bool> released{false};
  bool returned_before_release_did = false;
  std::thread releaser([&] {
    agent->Release();
    returned_before_release_did = callback_returned.load();
    released = true;
  });
  // Give a Release that does not wait the chance to return early; one that
  // waits returns once the callback is let go.
  for (int i = 0; i < 200 && !released; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  let_go = true;
  releaser.join();
  engine.join();
  agent = nullptr;
  EXPECT_TRUE(returned_before_release_did);
}

TEST_F(AgentObjectTest, ReleaseFromInsideACallbackDoesNotWaitForThatCallback) {
  std::atomic<int> calls{0};
  host.hook = [&](const HostEvent& event) {
    if (event.slot == kOnEventC && calls++ == 0) ReleaseAgent();
  };
  std::thread engine([s = sink()] { s->OnEventC(); });
  engine.join();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(agent, nullptr);
}

// Counts OnEventB and nothing else; allocates nothing.
class EventBHost final : public IMsgLogicExCallback {
 public:
  void* GetInterface(int32_t id) override {
    return id == MSG_IID_LOGICEX_CALLBACK ? static_cast<IMsgLogicExCallback*>(this) : nullptr;
  }
  int32_t OnFriendList(int32_t, const FriendInfo*) override { return 0; }
  int32_t OnEventA(int32_t, const char*) override { return 0; }
  int32_t OnUserList(int32_t, const UserEntry*) override { return 0; }
  int32_t OnUserData(int32_t, int32_t, const void*) override { return 0; }
  int32_t OnEventB(int32_t) override {
    events.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
  int32_t OnEventC() override { return 0; }
  int32_t OnEventD(int32_t, int32_t, int32_t) override { return 0; }
  int32_t OnConnectionLost() override { return 0; }
  std::atomic<int> events{0};
};

TEST(ReleaseUnderEventTraffic, ReleaseWaitsOnlyForCallbacksThatBegan) {
  // Engine threads fire events while the host releases the agent. Events
  // that begin once Release has begun are no calls; a Release that waited
  // for one would wait out its whole bound. In virtual time nothing moves
  // the clock here, so such a Release never returns until the test moves it.
  constexpr int kRounds = 40;
  TempDir dir;
  dir.Write("KWPMsg/loginInfo.ini", "[loginInfo]\r\nid1=100\r\nflag1=1\r\n");
  int stalled = 0;
  for (int round = 0; round < kRounds && stalled == 0; ++round) {
    FakeEnv env;
    EventBHost host;
    EngineLog engines;
    env.SetWorkingDirectory(dir.path());
    env.SetEngineFactory([&] { return engines.NewEngine(); });
    CMsgLogicAgent* agent = CMsgLogicAgent::Create(&env);
    ASSERT_NE(agent, nullptr);
    agent->SetCallback(&host, MSG_IID_LOGICEX_CALLBACK);
    ASSERT_EQ(agent->Connect(100, 0), 0);
    IMsgLogicSink* sink = AgentPeer(agent).sink();
    std::atomic<bool> stop{false};
    std::vector<std::thread> engine;
    // The engine's Release stops its threads, as the engine contract asks.
    engines.on_release = [&] {
      stop = true;
      for (auto& t : engine) {
        if (t.get_id() == std::this_thread::get_id()) {
          t.detach();  // released from inside its own sink call
        } else {
          t.join();
        }
      }
    };
    for (int t = 0; t < 3; ++t) {
      engine.emplace_back([&] {
        while (!stop.load()) sink->OnEventB(1);
      });
    }
    while (host.events.load() < 1000) std::this_thread::yield();
    std::atomic<bool> released{false};
    std::thread releaser([&] {
      agent->Release();
      released = true;
    });
    // Real time only bounds the test: a Release that does not wait in vain
    // returns as soon as the workers have ended.
    for (int i = 0; i < 1000 && !released.load(); ++i) {
      env.Settle();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!released.load()) {
      ++stalled;
      while (!released.load()) env.Advance(1000);
    }
    releaser.join();
    EXPECT_EQ(engines.engines_alive(), 0);
    EXPECT_EQ(stalled, 0) << "Release waited its whole bound in round " << round;
  }
}

}  // namespace
}  // namespace testing
}  // namespace msglogic
