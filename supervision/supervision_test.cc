// Connection supervision in virtual time: keep-alives, loss by silence or by
// the engine's report, the reset, the deferred release of the engine, and
// what a host may do from inside OnConnectionLost.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "tests/support/agent_fixture.h"

namespace msglogic {
namespace testing {
namespace {

constexpr int32_t kStart = 1700000000;  // calendar second of the login

class SupervisionTest : public AgentTest {
 protected:
  // Logs in at calendar second kStart; the workers have made their first
  // pass when it returns.
  void Login() {
    env.SetCalendar(kStart);
    ConnectOk();
  }
  // The calendar second at which each call of `slot` reached the engine.
  std::vector<int32_t> SecondsOf(const std::vector<uint64_t>& stamps_ms) {
    std::vector<int32_t> out;
    for (uint64_t ms : stamps_ms) out.push_back(static_cast<int32_t>(ms / 1000));
    return out;
  }
  void RecordEngineTimes(int slot, std::vector<uint64_t>* out) {
    engines.on_call = [this, slot, out](const EngineCall& call) {
      if (call.slot == slot) out->push_back(env.NowMs());
    };
  }
  void ShowActivity() { sink()->OnActivity(); }
};

TEST_F(SupervisionTest, SilenceOfTwentySecondsIsNoLossTwentyOneIs) {
  Login();
  env.SetCalendar(kStart + 20);  // the clock moves; no worker pass runs
  peer().CheckConnection();
  EXPECT_EQ(host.Count(kOnConnectionLost), 0);
  EXPECT_TRUE(peer().enabled());

  env.SetCalendar(kStart + 21);
  peer().CheckConnection();
  EXPECT_EQ(host.Count(kOnConnectionLost), 1);
  EXPECT_FALSE(peer().enabled());
  EXPECT_EQ(engines.Count(kKeepAlive), 0);  // the losing pass sends none
}

TEST_F(SupervisionTest, KeepAliveIsDueAfterTwentyOneSecondsNotTwenty) {
  Login();
  env.SetCalendar(kStart + 20);
  ShowActivity();
  peer().CheckConnection();
  EXPECT_EQ(engines.Count(kKeepAlive), 0);

  env.SetCalendar(kStart + 21);
  peer().CheckConnection();
  EXPECT_EQ(engines.Count(kKeepAlive), 1);
  EXPECT_EQ(peer().last_keep_alive(), kStart + 21);
  peer().CheckConnection();
  EXPECT_EQ(engines.Count(kKeepAlive), 1);
}

TEST_F(SupervisionTest, KeepAlivesGoOutEveryTwentyOneToTwentyThreeSeconds) {
  std::vector<uint64_t> sent;
  RecordEngineTimes(kKeepAlive, &sent);
  Login();  // at virtual 0 ms
  for (int second = 1; second <= 120; ++second) {
    env.Advance(1000);
    if (second % 5 == 0) ShowActivity();
  }
  std::vector<int32_t> at = SecondsOf(sent);
  ASSERT_GE(at.size(), 4u);
  EXPECT_GE(at[0], 21);
  EXPECT_LE(at[0], 23);
  for (size_t i = 1; i < at.size(); ++i) {
    EXPECT_GE(at[i] - at[i - 1], 21) << i;
    EXPECT_LE(at[i] - at[i - 1], 23) << i;
  }
  EXPECT_EQ(host.Count(kOnConnectionLost), 0);
}

TEST_F(SupervisionTest, SilentEngineIsLostTwentyOneToTwentyThreeSecondsAfterLastActivity) {
  Login();
  env.Advance(7000);
  ShowActivity();  // last sign of life at 7 s
  std::atomic<uint64_t> lost_at{0};
  host.hook = [&](const HostEvent& e) {
    if (e.slot == kOnConnectionLost) lost_at = env.NowMs();
  };
  for (int i = 0; i < 40 && lost_at == 0; ++i) env.Advance(1000);
  ASSERT_NE(lost_at.load(), 0u);
  const uint64_t silence_s = (lost_at - 7000) / 1000;
  EXPECT_GE(silence_s, 21u);
  EXPECT_LE(silence_s, 23u);
  EXPECT_EQ(host.Count(kOnConnectionLost), 1);
}

TEST_F(SupervisionTest, HostHearsOfLossBeforeResetWithStateStillInPlace) {
  Login();
  FriendInfo info{};
  info.nUserId = 5;
  peer().put_friend(info);
  int32_t self = 77;
  sink()->OnSelfId(&self);
  bool enabled_during = false;
  size_t friends_during = 0;
  int32_t self_during = 0;
  host.hook = [&](const HostEvent& e) {
    if (e.slot != kOnConnectionLost) return;
    enabled_during = peer().enabled();
    friends_during = peer().friend_count();
    self_during = peer().self_id();
  };
  env.Advance(24000);
  ASSERT_EQ(host.Count(kOnConnectionLost), 1);
  EXPECT_TRUE(enabled_during);
  EXPECT_EQ(friends_during, 1u);
  EXPECT_EQ(self_during, 77);

  EXPECT_FALSE(peer().enabled());
  EXPECT_EQ(peer().friend_count(), 0u);
  EXPECT_EQ(peer().self_id(), -1);
  EXPECT_EQ(agent->GetFriendList(), -1);
  EXPECT_EQ(agent->SendText(5, "x"), -1);
  EXPECT_EQ(agent->ForwardRequestA(1), -1);
}

TEST_F(SupervisionTest, ReleaseWorkerReleasesTheLostEngineWithinOnePass) {
  std::thread::id released_on;
  std::atomic<uint64_t> released_at{0};
  engines.on_call = [&](const EngineCall& call) {
    if (call.slot == kRelease) {
      released_on = call.thread;
      released_at = env.NowMs();
    }
  };
  std::thread::id lost_on;
  std::atomic<uint64_t> lost_at{0};
  host.hook = [&](const HostEvent& e) {
    if (e.slot == kOnConnectionLost) {
      lost_on = e.thread;
      lost_at = env.NowMs();
    }
  };
  Login();
  env.Advance(30000);
  ASSERT_NE(lost_at.load(), 0u);
  ASSERT_NE(released_at.load(), 0u);
  EXPECT_LE(released_at - lost_at, 2000u);
  EXPECT_NE(released_on, lost_on);  // not on the supervision worker
  EXPECT_NE(released_on, std::this_thread::get_id());
  EXPECT_EQ(peer().engine(), nullptr);
  EXPECT_FALSE(peer().release_pending());
  EXPECT_EQ(engines.engines_alive(), 0);
}

TEST_F(SupervisionTest, EngineReportedDisconnectIsReleasedOffTheEngineThread) {
  Login();
  std::thread engine_thread([&] { sink()->OnDisconnect(); });
  engine_thread.join();
  EXPECT_EQ(host.Count(kOnConnectionLost), 1);
  EXPECT_FALSE(peer().enabled());
  EXPECT_TRUE(peer().release_pending());
  EXPECT_EQ(engines.engines_alive(), 1);  // not on the engine's own thread
  env.Advance(2000);
  EXPECT_EQ(engines.engines_alive(), 0);
}

TEST_F(SupervisionTest, EveryDisconnectIsReportedEvenWhenOffline) {
  EXPECT_EQ(agent->Connect(100, 0), 3);  // offline with engine
  sink()->OnDisconnect();
  EXPECT_EQ(host.Count(kOnConnectionLost), 1);
  EXPECT_TRUE(peer().release_pending());
  sink()->OnDisconnect();  // lost already: reported and reset again
  EXPECT_EQ(host.Count(kOnConnectionLost), 2);
}

TEST_F(SupervisionTest, DisconnectAfterTimeoutReportsTheLossAgain) {
  Login();
  env.Advance(23000);
  ASSERT_EQ(host.Count(kOnConnectionLost), 1);
  sink()->OnDisconnect();
  EXPECT_EQ(host.Count(kOnConnectionLost), 2);
}

TEST_F(SupervisionTest, ResetWithoutCallbackStillResets) {
  Login();
  agent->SetCallback(nullptr, 2);
  env.Advance(24000);
  EXPECT_FALSE(peer().enabled());
  EXPECT_EQ(host.Count(kOnConnectionLost), 0);
}

TEST_F(SupervisionTest, ReleaseWhileReleasePendingReleasesTheEngineItself) {
  Login();
  peer().Reset();
  ASSERT_TRUE(peer().release_pending());
  ReleaseAgent();  // before the release worker's next pass
  ASSERT_EQ(engines.Count(kRelease), 1);
  EXPECT_EQ(engines.Calls(kRelease)[0].thread, std::this_thread::get_id());
  EXPECT_EQ(engines.engines_alive(), 0);
}

TEST_F(SupervisionTest, ConnectAfterResetKeepsTheEngineItReuses) {
  Login();
  IMsgLogic* engine = peer().engine();
  peer().Reset();
  ASSERT_TRUE(peer().release_pending());
  EXPECT_EQ(agent->Connect(100, 0), 0);
  EXPECT_FALSE(peer().release_pending());
  env.Advance(6000);  // several passes of the release worker
  EXPECT_EQ(peer().engine(), engine);
  EXPECT_EQ(engines.engines_created(), 1);
  EXPECT_EQ(engines.Count(kSetSink), 1);
  EXPECT_EQ(engines.Count(kRelease), 0);
  EXPECT_TRUE(peer().enabled());
}

TEST_F(SupervisionTest, ClockSetBackNeverTimesOutOrMakesKeepAliveDue) {
  Login();
  env.SetCalendar(kStart - 3600);
  peer().CheckConnection();
  EXPECT_EQ(host.Count(kOnConnectionLost), 0);
  EXPECT_EQ(engines.Count(kKeepAlive), 0);
  env.SetCalendar(kStart + 21);  // past the stamps by more than 20 s again
  ShowActivity();
  peer().CheckConnection();
  EXPECT_EQ(engines.Count(kKeepAlive), 1);
}

TEST_F(SupervisionTest, YearTwentyThirtyEightIsOneSecondLikeAnyOther) {
  env.SetCalendar(INT32_MAX);
  ConnectOk();
  env.SetCalendar(INT32_MIN);  // 0x7FFFFFFF -> 0x80000000
  peer().CheckConnection();
  EXPECT_EQ(host.Count(kOnConnectionLost), 0);
  env.SetCalendar(static_cast<int32_t>(0x80000000u + 19u));  // 20 s after login
  peer().CheckConnection();
  EXPECT_EQ(host.Count(kOnConnectionLost), 0);
  EXPECT_EQ(engines.Count(kKeepAlive), 0);
  env.SetCalendar(static_cast<int32_t>(0x80000000u + 20u));  // 21 s
  peer().CheckConnection();
  EXPECT_EQ(host.Count(kOnConnectionLost), 1);
}

TEST_F(SupervisionTest, ActivityWhileOfflineOnlyStampsTheTime) {
  env.SetCalendar(kStart);
  ShowActivity();
  EXPECT_EQ(peer().last_active(), kStart);
  EXPECT_TRUE(host.Events().empty());
  EXPECT_TRUE(engines.Calls().empty());
  EXPECT_FALSE(peer().enabled());
  env.SetCalendar(kStart + 100);
  ConnectOk();  // stamps again
  EXPECT_EQ(peer().last_active(), kStart + 100);
  EXPECT_EQ(peer().last_keep_alive(), kStart + 100);
}

// --- Re-entrancy: the host acts from inside OnConnectionLost ---

TEST_F(SupervisionTest, ReconnectFromInsideConnectionLostIsNotUndone) {
  Login();
  int32_t reconnect = -9;
  host.hook = [&](const HostEvent& e) {
    if (e.slot == kOnConnectionLost) reconnect = agent->Connect(100, 0);
  };
  env.Advance(23000);
  ASSERT_EQ(host.Count(kOnConnectionLost), 1);
  EXPECT_EQ(reconnect, 0);
  EXPECT_TRUE(peer().enabled());
  EXPECT_FALSE(peer().release_pending());
  env.Advance(4000);
  EXPECT_EQ(engines.engines_alive(), 1);
  EXPECT_EQ(engines.Count(kLoginById), 2);
}

// The engine accepts a login and loses it at once, on its own thread, while
// the Connect is still under way: the loss is that login's, and the host
// being told of it while the Connect returns does not make it an earlier
// login's (which the new one would supersede).
TEST_F(SupervisionTest, LossOfANewLoginHeardWhileItsConnectReturnsResets) {
  WriteLogin("id1=100\r\nflag1=1\r\n");
  std::atomic<bool> in_callback{false};
  std::atomic<bool> connect_returned{false};
  host.hook = [&](const HostEvent& e) {
    if (e.slot != kOnConnectionLost) return;
    in_callback = true;
    while (!connect_returned) std::this_thread::yield();
  };
  std::thread engine_thread;
  engines.on_call = [&](const EngineCall& call) {
    if (call.slot != EngineSlot::kStart || engine_thread.joinable()) return;
    engine_thread = std::thread([s = sink()] { s->OnDisconnect(); });
    while (!in_callback) std::this_thread::yield();  // it needs no lock of ours
  };
  const int32_t connected = agent->Connect(100, 0);
  connect_returned = true;
  engine_thread.join();
  EXPECT_EQ(connected, 0);
  EXPECT_EQ(host.Count(kOnConnectionLost), 1);
  EXPECT_FALSE(peer().enabled());
  EXPECT_EQ(agent->GetFriendList(), -1);
  env.Advance(2000);  // the release worker's pass (it may have made it already)
  EXPECT_EQ(engines.engines_alive(), 0);
  // Only now: the release worker's call into the engine reads the hook.
  engines.on_call = nullptr;
}

// The same loss, reported and reset before the Connect's last step: that
// Connect does not count the agent logged in afterwards.
TEST_F(SupervisionTest, LossOfANewLoginBeforeItsConnectEndsLeavesTheAgentOffline) {
  WriteLogin("id1=100\r\nflag1=1\r\n");
  const std::thread::id host_thread = std::this_thread::get_id();
  bool fired = false;
  env.OnTime([&] {
    // Connect stamping its times: the engine has accepted and started.
    if (fired || std::this_thread::get_id() != host_thread || engines.Count(EngineSlot::kStart) != 1) return;
    fired = true;
    std::thread engine_thread([s = sink()] { s->OnDisconnect(); });
    engine_thread.join();
  });
  EXPECT_EQ(agent->Connect(100, 0), 2);
  env.OnTime(nullptr);
  ASSERT_TRUE(fired);
  EXPECT_EQ(host.Count(kOnConnectionLost), 1);
  EXPECT_FALSE(peer().enabled());
  EXPECT_TRUE(peer().release_pending());
  EXPECT_EQ(env.Traces().back(), "connect failed:return 2");
  // The next login works as usual (no worker ran yet to release the engine:
  // it takes the marked one back).
  EXPECT_EQ(agent->Connect(100, 0), 0);
  EXPECT_TRUE(peer().enabled());
  EXPECT_FALSE(peer().release_pending());
  EXPECT_EQ(engines.engines_created(), 1);
}

TEST_F(SupervisionTest, CommandsFromInsideConnectionLostReachTheEngine) {
  Login();
  int32_t results[3] = {-9, -9, -9};
  host.hook = [&](const HostEvent& e) {
    if (e.slot != kOnConnectionLost) return;
    results[0] = agent->GetFriendList();
    results[1] = agent->ForwardRequestB(3);
    results[2] = agent->ForwardRequestC();
  };
  env.Advance(23000);
  EXPECT_EQ(results[0], 0);
  EXPECT_EQ(results[1], 0);
  EXPECT_EQ(results[2], 0);
  EXPECT_EQ(engines.Count(kGetFriendList), 1);
  EXPECT_FALSE(peer().enabled());  // then the reset
}

TEST_F(SupervisionTest, ReleaseFromInsideDisconnectOnEngineThread) {
  Login();
  host.hook = [&](const HostEvent& e) {
    if (e.slot == kOnConnectionLost) agent->Release();
  };
  std::thread engine_thread([&] { sink()->OnDisconnect(); });
  engine_thread.join();
  agent = nullptr;
  env.Settle();
  EXPECT_EQ(env.RunningThreads(), 0);
  EXPECT_EQ(engines.engines_alive(), 0);
}

// --- Workers ---

TEST_F(SupervisionTest, WorkersStartOnceInTheAgentsLife) {
  Login();
  EXPECT_EQ(env.ThreadsStarted(), 2);
  ConnectOk();
  peer().Reset();
  ConnectOk();
  EXPECT_EQ(env.ThreadsStarted(), 2);
  EXPECT_EQ(env.RunningThreads(), 2);
}

TEST_F(SupervisionTest, WorkerThatCannotStartIsTriedAgainByTheNextConnect) {
  env.FailThreadStarts(1);
  Login();
  EXPECT_FALSE(peer().supervise_thread());
  EXPECT_TRUE(peer().release_thread());
  auto traces = env.Traces();
  EXPECT_NE(std::find(traces.begin(), traces.end(),
                      "CMsgLogicAgent::Connect:supervise thread not started"),
            traces.end());
  EXPECT_EQ(traces.back(), "connect suc!");
  ConnectOk();
  EXPECT_TRUE(peer().supervise_thread());
  EXPECT_EQ(env.RunningThreads(), 2);
}

TEST_F(SupervisionTest, KeepAliveAndEventsFromManyThreadsKeepTheLockOrder) {
  Login();
  std::atomic<bool> stop{false};
  std::vector<std::thread> engine_threads;
  for (int t = 0; t < 3; ++t) {
    engine_threads.emplace_back([&] {
      while (!stop) {
        sink()->OnActivity();  // real time: may not run in every virtual second
        const uint32_t values[] = {1, 5, 6};
        sink()->OnFriendValues(values);
        int32_t self = 3;
        sink()->OnSelfId(&self);
      }
    });
  }
  for (int i = 0; i < 60; ++i) {
    env.Advance(1000);
    ShowActivity();
    agent->GetFriendList();
  }
  stop = true;
  for (auto& t : engine_threads) t.join();
  EXPECT_GE(engines.Count(kKeepAlive), 2);
  EXPECT_EQ(host.Count(kOnConnectionLost), 0);
}

}  // namespace
}  // namespace testing
}  // namespace msglogic
