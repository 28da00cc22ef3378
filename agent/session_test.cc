// A login is a session: what the agent learns during one is never seen by
// another, whoever ends it and on whatever thread; and the agent's end
// (Release) against engine threads still inside it. Threads are stopped at
// chosen lock boundaries by the test's own hooks, never by sleeping.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/agent_peer.h"
#include "tests/support/fake_engine.h"
#include "tests/support/lock_hook_env.h"
#include "tests/support/recording_host.h"
#include "tests/support/records.h"
#include "tests/support/temp_dir.h"

namespace msglogic {
namespace testing {
namespace {

// A thread stopped by a hook until the test lets it go.
class Gate {
 public:
  // Run on the thread to stop.
  void Stop() {
    std::unique_lock<std::mutex> hold(mu_);
    stopped_ = true;
    cv_.notify_all();
    cv_.wait(hold, [this] { return open_; });
  }
  void WaitStopped() {
    std::unique_lock<std::mutex> hold(mu_);
    ASSERT_TRUE(cv_.wait_for(hold, std::chrono::seconds(30), [this] { return stopped_; }));
  }
  void Open() {
    std::lock_guard<std::mutex> hold(mu_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool stopped_ = false;
  bool open_ = false;
};

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() {
    env.SetWorkingDirectory(dir.path());
    env.SetEngineFactory([this] { return engines.NewEngine(); });
    dir.Write("KWPMsg/loginInfo.ini",
              "[loginInfo]\r\nid1=100\r\nflag1=1\r\nid2=200\r\nflag2=1\r\n");
    agent = CMsgLogicAgent::Create(&env);
    agent->SetCallback(&host, MSG_IID_LOGICEX_CALLBACK);
  }
  ~SessionTest() override {
    if (agent != nullptr) agent->Release();
    EXPECT_EQ(env.LockOrderViolations(), std::vector<std::string>());
  }
  AgentPeer peer() const { return AgentPeer(agent); }
  IMsgLogicSink* sink() const { return peer().sink(); }

  // The engine reports `self` as the own id and `friend_id` as a friend
  // with `value`.
  void Learn(int32_t self, int32_t friend_id, int32_t value) {
    sink()->OnSelfId(&self);
    const Bytes values = ValueList({{friend_id, value}});
    sink()->OnFriendValues(values.Exact().get());
    const Bytes list = FriendList({{friend_id, value, 0, 0, 0, 1, "f", "F", ""}});
    sink()->OnFriendList(list.Exact().get());
  }

  // Logs in, loses the connection, and lets the release worker release the
  // lost engine (on a clock thread of the test's). That Release waits, as
  // the engine contract has it, for the sink call `fire` makes on a thread
  // of the test's. False when it gave up waiting: a bound only so that a
  // deadlock fails the test instead of hanging it.
  bool ReleaseWaitingFor(const std::function<void(IMsgLogicSink*)>& fire) {
    EXPECT_EQ(agent->Connect(100, 0), 0);
    env.Settle();
    sink()->OnDisconnect();  // the engine is marked for the release worker
    std::mutex mu;
    std::condition_variable cv;
    bool releasing = false;
    bool fired = false;
    bool waited_out = false;
    bool first = true;
    engines.on_release = [&] {
      if (!first) return;
      first = false;
      std::unique_lock<std::mutex> hold(mu);
      releasing = true;
      cv.notify_all();
      waited_out = !cv.wait_for(hold, std::chrono::seconds(30), [&] { return fired; });
    };
    std::thread clock([&] { env.Advance(kWorkerPassMs); });  // the release worker's pass
    {
      std::unique_lock<std::mutex> hold(mu);
      if (!cv.wait_for(hold, std::chrono::seconds(30), [&] { return releasing; })) {
        hold.unlock();
        clock.join();
        engines.on_release = nullptr;
        ADD_FAILURE() << "the release worker did not release the lost engine";
        return false;
      }
    }
    std::thread engine_thread([&] {
      fire(sink());
      std::lock_guard<std::mutex> hold(mu);
      fired = true;
      cv.notify_all();
    });
    engine_thread.join();
    clock.join();
    engines.on_release = nullptr;
    return !waited_out;
  }

  TempDir dir;
  RecordingHost host;
  EngineLog engines;
  LockHookEnv env;
  CMsgLogicAgent* agent = nullptr;
};

// User 100 with friend 300 and a text queued for stranger 400 loses the
// connection; the host logs user 200 in from inside OnConnectionLost (an
// auto-reconnecting window). User 200's login knows nothing of user 100's.
TEST_F(SessionTest, LoginFromInsideConnectionLostStartsWithNothingOfTheLostOne) {
  ASSERT_EQ(agent->Connect(100, 0), 0);
  Learn(100, 300, 33);
  ASSERT_EQ(agent->SendText(400, "for 400"), 1);
  int32_t reconnect = -9;
  host.hook = [&](const HostEvent& e) {
    if (e.slot == kOnConnectionLost) reconnect = agent->Connect(200, 0);
  };
  std::thread engine_thread([s = sink()] { s->OnDisconnect(); });
  engine_thread.join();
  host.hook = nullptr;
  ASSERT_EQ(reconnect, 0);
  ASSERT_TRUE(peer().enabled());
  EXPECT_EQ(peer().self_id(), -1);
  EXPECT_EQ(peer().friend_count(), 0u);
  EXPECT_EQ(peer().value_count(), 0u);
  EXPECT_EQ(peer().pending_count(), 0u);

  engines.Clear();
  // 300 is no friend of user 200's (yet): the text waits for its details.
  EXPECT_EQ(agent->SendText(300, "hi"), 1);
  EXPECT_EQ(agent->ContactUser(300), -1);
  // User 100's text to 400 is gone with user 100's login.
  const int32_t info[2] = {400, 44};
  EXPECT_EQ(sink()->OnUserInfo(info), 1);
  for (const EngineCall& call : engines.Calls()) {
    EXPECT_NE(call.slot, kContactUser);
    if (call.slot == kSendText) ADD_FAILURE() << "sent: " << call.text;
  }
  // What user 200's login learns is used, with user 200's own id.
  Learn(200, 300, 77);
  EXPECT_EQ(agent->SendText(300, "hi again"), 0);
  const auto sent = engines.Calls(kSendText);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].args, (std::vector<int64_t>{300, 1, 200, 77}));
}

// A loss reported on an engine thread, which is stopped right after the
// agent has taken the loss as the current login's; a Connect on a host
// thread logs in meanwhile and the engine reports its own id and a friend.
// When the loss thread goes on, the new login keeps all of it.
TEST_F(SessionTest, LossThatRacesALoginOnAnotherThreadLeavesTheNewLoginAlone) {
  ASSERT_EQ(agent->Connect(100, 0), 0);
  Learn(100, 300, 33);
  Gate gate;
  // The loss thread's first reach for a table after the reset decision.
  env.BeforeEnter("m_csFriend", [&] { gate.Stop(); });
  std::thread engine_thread([s = sink()] { s->OnDisconnect(); });
  gate.WaitStopped();

  ASSERT_EQ(agent->Connect(200, 0), 0);
  Learn(200, 500, 55);
  gate.Open();
  engine_thread.join();

  EXPECT_TRUE(peer().enabled());
  EXPECT_FALSE(peer().release_pending());
  EXPECT_EQ(peer().self_id(), 200);
  FriendInfo info;
  EXPECT_TRUE(peer().find_friend(500, &info));
  EXPECT_FALSE(peer().find_friend(300, &info));
  engines.Clear();
  EXPECT_EQ(agent->SendText(500, "hi"), 0);
  const auto sent = engines.Calls(kSendText);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].args, (std::vector<int64_t>{500, 1, 200, 55}));
}

// A queued text whose login is lost while its answer is being handled: the
// flush holds the text and reaches for the engine lock when the loss comes
// and the host logs another user in from inside OnConnectionLost. The text
// is not sent in the new login.
TEST_F(SessionTest, QueuedTextOfAnEndedLoginIsNeverSentInTheNextOne) {
  ASSERT_EQ(agent->Connect(100, 0), 0);
  int32_t self = 100;
  sink()->OnSelfId(&self);
  ASSERT_EQ(agent->SendText(400, "for 400"), 1);
  Gate gate;
  env.BeforeEnter("m_csPendingText", [&] {
    env.BeforeEnter("m_csMsgLogic", [&] { gate.Stop(); });
  });
  std::thread flush([s = sink()] {
    const int32_t info[2] = {400, 44};
    s->OnUserInfo(info);
  });
  gate.WaitStopped();

  host.hook = [&](const HostEvent& e) {
    if (e.slot == kOnConnectionLost) agent->Connect(200, 0);
  };
  std::atomic<bool> loss_done{false};
  std::thread loss([&] {
    sink()->OnDisconnect();
    loss_done = true;
  });
  // Until the loss is over, or waits for the text the flush holds.
  while (!loss_done && env.Waiting("m_csPendingText") == 0) std::this_thread::yield();
  gate.Open();
  flush.join();
  loss.join();
  host.hook = nullptr;
  EXPECT_TRUE(peer().enabled());
  for (const EngineCall& call : engines.Calls(kSendText)) {
    ADD_FAILURE() << "sent in login " << engines.Count(kLoginById) << ": " << call.text
                  << " with own id " << call.args[2];
  }
}

// Neither Release nor the release worker holds an agent lock while the
// engine's Release runs: an engine waits there for its sink calls, and one
// may be waiting for that lock.
TEST_F(SessionTest, EngineIsReleasedWithNoAgentLockHeld) {
  std::vector<std::vector<std::string>> held;
  engines.on_release = [&] { held.push_back(FakeEnv::HeldLocks()); };
  ASSERT_EQ(agent->Connect(100, 0), 0);
  env.Settle();
  peer().Reset();
  env.Advance(kWorkerPassMs);  // the release worker's pass
  ASSERT_EQ(engines.engines_alive(), 0);
  ASSERT_EQ(agent->Connect(100, 0), 0);
  agent->Release();
  agent = nullptr;
  ASSERT_EQ(held.size(), 2u);
  EXPECT_EQ(held[0], std::vector<std::string>()) << "release worker";
  EXPECT_EQ(held[1], std::vector<std::string>()) << "Release";
}

// The host callback in that sink call waits for a lock of the host's, which
// the host holds while it logs in again on its own thread. The login must
// not wait for the lost engine's Release: it gets a new engine.
TEST_F(SessionTest, ConnectDoesNotWaitForTheLostEnginesRelease) {
  std::mutex host_lock;
  std::atomic<bool> in_callback{false};
  host.hook = [&](const HostEvent& e) {
    if (e.slot != kOnEventC) return;
    in_callback = true;
    std::lock_guard<std::mutex> hold(host_lock);
  };
  int32_t reconnect = -9;
  const bool ended = ReleaseWaitingFor([&](IMsgLogicSink* s) {
    // This thread is the host's: it holds its lock, a sink call's callback
    // waits for it, and it logs in.
    std::unique_lock<std::mutex> host_holds(host_lock);
    std::thread engine_call([&] { s->OnEventC(); });
    while (!in_callback.load()) std::this_thread::yield();
    reconnect = agent->Connect(200, 0);
    host_holds.unlock();
    engine_call.join();
  });
  host.hook = nullptr;
  EXPECT_TRUE(ended) << "the login waited for the Release that waited for the host";
  EXPECT_EQ(reconnect, 0);
  EXPECT_EQ(engines.engines_created(), 2);
  EXPECT_EQ(engines.engines_alive(), 1);
  EXPECT_TRUE(peer().enabled());
}

// The same with the login made from inside OnConnectionLost, on the engine
// thread that the engine's Release waits for.
TEST_F(SessionTest, ConnectFromASinkCallTheReleaseWaitsForDoesNotWaitForIt) {
  int32_t reconnect = -9;
  int losses = 0;
  host.hook = [&](const HostEvent& e) {
    // The first loss is the one whose engine is being released.
    if (e.slot == kOnConnectionLost && ++losses == 2) reconnect = agent->Connect(200, 0);
  };
  const bool ended = ReleaseWaitingFor([](IMsgLogicSink* s) { s->OnDisconnect(); });
  host.hook = nullptr;
  EXPECT_TRUE(ended) << "the login waited for the Release that waited for it";
  EXPECT_EQ(reconnect, 0);
  EXPECT_EQ(engines.engines_alive(), 1);
  EXPECT_TRUE(peer().enabled());
}

// An engine thread is inside the agent's code, not in any host callback
// (a pending text being flushed, stopped at a lock), when the host releases
// the agent on another thread. Release waits for it; if it gives up (its
// bound, in virtual time), the thread will come back through the module's
// code after Release has returned, so the module must stay loaded.
TEST_F(SessionTest, ReleaseWaitsForASinkCallInsideTheAgentOrKeepsTheModuleLoaded) {
  ASSERT_EQ(agent->Connect(100, 0), 0);
  env.Settle();
  ASSERT_EQ(agent->SendText(400, "for 400"), 1);
  Gate gate;
  env.BeforeEnter("m_csPendingText", [&] { gate.Stop(); });
  std::thread engine_thread([s = sink()] {
    const int32_t info[2] = {400, 44};
    EXPECT_EQ(s->OnUserInfo(info), 1);
  });
  gate.WaitStopped();

  // The releaser is a thread of the env's, so each Advance below returns only
  // once it waits again in virtual time or has ended: virtual time never
  // runs ahead of it (past the connection's time-out, say).
  struct Releaser {
    CMsgLogicAgent* agent;
    std::atomic<bool> released{false};
  } releasing{agent};
  std::atomic<bool>& released = releasing.released;
  Thread* releaser = env.StartThread(
      [](void* arg) {
        auto* r = static_cast<Releaser*>(arg);
        r->agent->Release();
        r->released = true;
      },
      &releasing);
  ASSERT_NE(releaser, nullptr);
  // Without moving virtual time nothing bounds Release's waits: one that
  // returns now has not waited for the engine thread.
  for (int i = 0; i < 200 && !released; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (released) {
    EXPECT_EQ(env.ModulePins(), 1) << "Release returned with an engine thread in the agent's "
                                      "code and the module free to go";
  } else {
    EXPECT_EQ(env.ModulePins(), 0);
    while (!released) env.Advance(1000);  // its bound runs out
    EXPECT_EQ(env.ModulePins(), 1);
    EXPECT_EQ(engines.engines_alive(), 1);  // the engine thread's call is still inside
  }
  EXPECT_TRUE(releaser->Join(60000));  // it has ended, or is about to
  delete releaser;
  agent = nullptr;
  gate.Open();
  engine_thread.join();
  // The last call to leave released the engine and ended the agent; the
  // text of the ended login was not sent.
  EXPECT_EQ(engines.engines_alive(), 0);
  EXPECT_EQ(engines.Count(kSendText), 0);
}

}  // namespace
}  // namespace testing
}  // namespace msglogic
