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
#include "tests/support/records.h"

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

// A friend list is cached with m_csFriend held only to swap the new table
// in. A host command that runs while the engine thread is in the middle of
// a list (here: as it reaches for m_csFriendValue, after converting the
// texts, before the swap) neither waits for the list nor sees part of it;
// once the list is cached, every value is the new one.
TEST_F(CommandConcurrencyTest, HostCommandsNeverWaitForAFriendListBeingCached) {
  ConnectOk();
  IMsgLogicSink* sink = peer().sink();
  std::vector<FriendSpec> before;
  std::vector<FriendSpec> after;
  std::vector<std::pair<int32_t, int32_t>> values;
  for (int32_t id = 1; id <= 200; ++id) {
    before.push_back({id, id, 0, 0, 0, 1, "old", "", ""});
    after.push_back({id, 1000 + id, 0, 0, 0, 1, "new", "", ""});
    values.push_back({id, 1});
  }
  sink->OnFriendValues(ValueList(values).Exact().get());
  sink->OnFriendList(FriendList(before).Exact().get());
  engines.Clear();

  std::thread host_thread;
  std::atomic<bool> done{false};
  bool waited = false;
  env.BeforeEnter("m_csFriendValue", [&] {
    host_thread = std::thread([&] {
      EXPECT_EQ(agent->SendText(7, "a"), 0);
      EXPECT_EQ(agent->ContactUser(150), 0);
      EXPECT_EQ(agent->SendText(200, "b"), 0);
      done = true;
    });
    // Either the commands finish, or one of them blocks on m_csFriend held by
    // this thread (then it finishes once the list has gone through).
    while (!done && !(env.Held("m_csFriend") > 0 && env.Waiting("m_csFriend") > 0)) {
      std::this_thread::yield();
    }
    waited = !done;
  });
  EXPECT_EQ(sink->OnFriendList(FriendList(after).Exact().get()), 0);
  host_thread.join();
  EXPECT_FALSE(waited) << "a host command waited for the list";
  EXPECT_EQ(agent->SendText(7, "c"), 0);

  auto sent = engines.Calls(kSendText);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].args, (std::vector<int64_t>{7, 1, -1, 7}));
  EXPECT_EQ(sent[1].args, (std::vector<int64_t>{200, 1, -1, 200}));
  EXPECT_EQ(sent[2].args, (std::vector<int64_t>{7, 1, -1, 1007}));
  auto contacts = engines.Calls(kContactUser);
  ASSERT_EQ(contacts.size(), 1u);
  EXPECT_EQ(contacts[0].args, (std::vector<int64_t>{150, 150, -1}));
}

// A friend list builds its table from a copy of the published one. When
// another writer swaps in a table meanwhile, the list builds again from
// that one; after losing twice it builds under m_csFriend. Either way no
// write is lost.
TEST_F(CommandConcurrencyTest, AListThatLosesTheRaceToSwapBuildsAgainAndLosesNoWrite) {
  ConnectOk();
  IMsgLogicSink* sink = peer().sink();
  std::vector<FriendSpec> list;
  for (int32_t id = 1; id <= 100; ++id) list.push_back({id, id, 0, 0, 0, 1, "l", "", ""});
  int interfered = 0;
  // One friend's details, cached by another engine thread.
  auto details = [&](int32_t id) {
    std::thread other([&] {
      const FriendSpec f{id, 7, 0, 0, 0, 1, "i", "", ""};
      sink->OnFriendInfo(FriendRecord(f).Exact().get());
    });
    other.join();
  };
  // The list's first entry into m_csFriend takes its copy; before its
  // second (the swap) the details of another user are cached.
  std::function<void()> arm = [&] {
    env.BeforeEnter("m_csFriend", [&] {
      env.BeforeEnter("m_csFriend", [&] {
        details(1000 + interfered);
        if (++interfered < 2) arm();
      });
    });
  };
  arm();
  EXPECT_EQ(sink->OnFriendList(FriendList(list).Exact().get()), 0);
  EXPECT_EQ(interfered, 2);
  EXPECT_EQ(peer().friend_count(), 102u);
  FriendInfo info;
  for (int32_t id : {1, 50, 100, 1000, 1001}) EXPECT_TRUE(peer().find_friend(id, &info)) << id;
  ASSERT_TRUE(peer().find_friend(1001, &info));
  EXPECT_EQ(info.nUserValue, 7);
}

}  // namespace
}  // namespace testing
}  // namespace msglogic
