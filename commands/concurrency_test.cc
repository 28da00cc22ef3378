// Commands meeting other threads at their lock boundaries: an answer that
// overtakes SendText, and an engine that goes away after a command has
// passed its login check. The agent runs in a FakeEnv whose locks can run a
// hook just before a thread enters them and tell who is waiting for them.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "tests/support/agent_fixture.h"
#include "tests/support/lock_hook_env.h"

namespace msglogic {
namespace testing {
namespace {

// AgentTest's arrangement, in a LockHookEnv.
class CommandConcurrencyTest : public ::testing::Test {
 protected:
  CommandConcurrencyTest() {
    env.SetWorkingDirectory(dir.path());
    env.SetEngineFactory([this] { return engines.NewEngine(); });
    agent = CMsgLogicAgent::Create(&env);
    agent->SetCallback(&host, MSG_IID_LOGICEX_CALLBACK);
    dir.Write("KWPMsg/loginInfo.ini", "[loginInfo]\r\nid1=100\r\nflag1=1\r\n");
  }
  ~CommandConcurrencyTest() override {
    agent->Release();
    EXPECT_EQ(env.LockOrderViolations(), std::vector<std::string>());
  }
  AgentPeer peer() const { return AgentPeer(agent); }
  void ConnectOk() {
    ASSERT_EQ(agent->Connect(100, 0), 0);
    env.Settle();
  }
  // The next time a command reaches for `lock` (after its login check, before
  // it calls the engine), the agent is reset and its release worker gives
  // the engine up; `then` runs after that.
  void LoseEngineBefore(const char* lock, std::function<void()> then = [] {}) {
    env.BeforeEnter(lock, [this, then] {
      peer().Reset();
      env.Advance(kWorkerPassMs);
      EXPECT_EQ(peer().engine(), nullptr);
      then();
    });
  }

  TempDir dir;
  RecordingHost host;
  EngineLog engines;
  LockHookEnv env;
  CMsgLogicAgent* agent = nullptr;
};

TEST_F(CommandConcurrencyTest, AnAnswerOvertakingSendTextFindsTheQueuedText) {
  ConnectOk();
  std::thread engine_thread;
  std::atomic<bool> answered{false};
  engines.on_call = [&](const EngineCall& call) {
    if (call.slot != kRequestUserInfo) return;
    // The engine answers at once on its own thread. The answer needs
    // m_csMsgLogic, held by SendText right now, so it cannot be joined here;
    // wait until it has either finished (it found no text) or is blocked on
    // an agent lock (it found the text and waits to send it).
    engine_thread = std::thread([&] {
      const int32_t record[2] = {7, 77};
      peer().sink()->OnUserInfo(record);
      answered = true;
    });
    while (!answered && env.Waiting("m_csMsgLogic") + env.Waiting("m_csPendingText") == 0) {
      std::this_thread::yield();
    }
  };
  EXPECT_EQ(agent->SendText(7, "early"), 1);
  engine_thread.join();
  engines.on_call = nullptr;
  auto sent = engines.Calls(kSendText);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].text, "early");
  EXPECT_EQ(sent[0].args, (std::vector<int64_t>{7, 1, -1, 77}));
  EXPECT_EQ(peer().pending_count(), 0u);
}

TEST_F(CommandConcurrencyTest, CommandsWhoseEngineIsGoneSucceedWithoutCallingIt) {
  FriendInfo online{};
  online.nUserId = 5;
  online.nUserValue = 55;
  auto keep_friend = [&] { peer().put_friend(online); };
  RoomInfo room{};
  struct Case {
    const char* what;
    const char* first_lock;
    std::function<void()> then;
    std::function<int32_t()> command;
    int32_t result;
  };
  const Case cases[] = {
      {"text to a friend", "m_csFriend", keep_friend, [&] { return agent->SendText(5, "a"); }, 0},
      {"contact", "m_csFriend", keep_friend, [&] { return agent->ContactUser(5); }, 0},
      {"room info", "m_csMsgLogic", [] {}, [&] { return agent->SendRoomInfo(1, &room); }, 0},
      {"request A", "m_csMsgLogic", [] {}, [&] { return agent->ForwardRequestA(1); }, 0},
      {"request B", "m_csMsgLogic", [] {}, [&] { return agent->ForwardRequestB(1); }, 0},
      {"request C", "m_csMsgLogic", [] {}, [&] { return agent->ForwardRequestC(); }, 0},
      {"friend list", "m_csMsgLogic", [] {}, [&] { return agent->GetFriendList(); }, 0},
      // The text stays queued; the engine cannot be asked about the user.
      {"text to a stranger", "m_csFriend", [] {}, [&] { return agent->SendText(7, "b"); }, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ConnectOk();
    engines.Clear();
    LoseEngineBefore(c.first_lock, c.then);
    EXPECT_EQ(c.command(), c.result);
    auto calls = engines.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].slot, kRelease);
  }

  // The stranger's text, flushed with no engine, is dropped.
  std::string pending;
  EXPECT_TRUE(peer().find_pending(7, &pending));
  const int32_t record[2] = {7, 77};
  EXPECT_EQ(peer().sink()->OnUserInfo(record), 1);
  EXPECT_EQ(peer().pending_count(), 0u);
  EXPECT_EQ(engines.Count(kSendText), 0);
}

}  // namespace
}  // namespace testing
}  // namespace msglogic
