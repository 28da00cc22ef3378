// The stand-in engine, seen as the agent sees it: through IMsgLogic and the
// sink. Records are decoded here by reading the byte offsets of the layouts
// directly, not with the engine's or the agent's code, so a layout mistake
// in either cannot hide behind the same mistake in the other.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "MsgLogic.h"
#include "engine/quiet_sink.h"
#include "engine/scenario.h"
#include "engine/stand_in_engine.h"
#include "gtest/gtest.h"

namespace stand_in {
namespace {

// ---- An independent reader of the engine's records ----

uint32_t U32(const std::string& b, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(b.at(at))) |
         static_cast<uint32_t>(static_cast<uint8_t>(b.at(at + 1))) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(b.at(at + 2))) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(b.at(at + 3))) << 24;
}
int32_t I32(const std::string& b, size_t at) { return static_cast<int32_t>(U32(b, at)); }
uint16_t U16(const std::string& b, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b.at(at)) |
                               static_cast<uint8_t>(b.at(at + 1)) << 8);
}
bool Zero(const std::string& b, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    if (b.at(i) != 0) return false;
  }
  return true;
}

// Sizes of records given by pointer: what the receiver can work out. A
// record that claims more than kSane bytes is taken as empty, so a layout
// fault fails the checks instead of crashing the test.
constexpr size_t kSane = 1 << 16;
size_t U32At(const void* p, size_t at) {
  return U32(std::string(static_cast<const char*>(p) + at, 4), 0);
}
size_t FriendSize(const void* p) {
  const size_t size = 47 + U32At(p, 20) + U32At(p, 24) + U32At(p, 34);
  return size > kSane ? 0 : size;
}
size_t FriendListSize(const void* p) {
  size_t size = 4;
  for (size_t i = U32At(p, 0); i > 0 && size < kSane; --i) {
    const size_t one = FriendSize(static_cast<const char*>(p) + size);
    if (one == 0) return 0;
    size += one;
  }
  return size > kSane ? 0 : size;
}
size_t UserListSize(const void* p) {
  size_t size = 4;
  for (size_t i = U32At(p, 0); i > 0 && size < kSane; --i) size += 9 + U32At(p, size + 5);
  return size > kSane ? 0 : size;
}

struct Friend {
  int32_t id, value, info_a, info_c;
  uint16_t info_b;
  uint8_t status;
  std::string name, display_name, long_text;
  bool gaps_zero;
};

Friend ReadFriend(const std::string& b, size_t at, size_t* next) {
  Friend f;
  f.id = I32(b, at);
  f.value = I32(b, at + 4);
  f.info_a = I32(b, at + 8);
  f.info_b = U16(b, at + 12);
  const uint32_t l1 = U32(b, at + 20), l2 = U32(b, at + 24), l3 = U32(b, at + 34);
  f.info_c = I32(b, at + 30);
  f.status = static_cast<uint8_t>(b.at(at + 38));
  f.gaps_zero = Zero(b, at + 14, at + 20) && Zero(b, at + 28, at + 30) && Zero(b, at + 39, at + 47);
  f.name = b.substr(at + 47, l1);
  f.display_name = b.substr(at + 47 + l1, l2);
  f.long_text = b.substr(at + 47 + l1 + l2, l3);
  *next = at + 47 + l1 + l2 + l3;
  return f;
}

std::vector<Friend> ReadFriendList(const std::string& b) {
  std::vector<Friend> friends;
  size_t at = 4;
  for (uint32_t i = 0; i < U32(b, 0); ++i) friends.push_back(ReadFriend(b, at, &at));
  EXPECT_EQ(at, b.size());
  return friends;
}

// ---- A sink that keeps a copy of everything it gets ----

enum Slot { kText = 6, kUserInfo = 9, kEventA = 36, kFriendList = 37, kFriendInfo = 39,
            kSelfId = 80, kEventB = 82, kUserList = 85, kFriendUpdate = 87, kActivity = 88,
            kEventC = 90, kEventD = 91, kDisconnect = 101, kValues = 122 };

struct Event {
  int slot = -1;
  int32_t number = 0;  // OnUserText's user id, OnEventB's value
  std::string bytes;   // the record
  std::thread::id thread;
};

class RecordingSink : public testing::QuietSink {
 public:
  int32_t OnUserText(int32_t userId, const void* r) override {
    return Add(kText, userId, r, 28 + U32At(r, 24));
  }
  int32_t OnUserInfo(const void* r) override {
    Add(kUserInfo, 0, r, 8);
    return 1;
  }
  int32_t OnEventA(const void* r) override {
    return Add(kEventA, 0, r, 22 + std::strlen(static_cast<const char*>(r) + 22) + 1);
  }
  int32_t OnFriendList(const void* r) override { return Add(kFriendList, 0, r, FriendListSize(r)); }
  int32_t OnFriendInfo(const void* r) override { return Add(kFriendInfo, 0, r, FriendSize(r)); }
  int32_t OnSelfId(const int32_t* id) override { return Add(kSelfId, *id, nullptr, 0); }
  int32_t OnEventB(int32_t value) override { return Add(kEventB, value, nullptr, 0); }
  int32_t OnUserList(const void* r) override { return Add(kUserList, 0, r, UserListSize(r)); }
  int32_t OnFriendUpdate(const void* r) override { return Add(kFriendUpdate, 0, r, FriendSize(r)); }
  int32_t OnActivity() override { return Add(kActivity, 0, nullptr, 0); }
  int32_t OnEventC() override { return Add(kEventC, 0, nullptr, 0); }
  int32_t OnEventD(const void* r) override { return Add(kEventD, 0, r, 12); }
  void OnDisconnect() override { Add(kDisconnect, 0, nullptr, 0); }
  int32_t OnFriendValues(const void* r) override {
    return Add(kValues, 0, r, 4 + 8 * U32At(r, 0));
  }

  // The n-th event (from 1) of `slot`, waiting for it up to five seconds.
  Event Nth(int slot, size_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    Event found;
    cv_.wait_for(lock, std::chrono::seconds(5), [&] {
      size_t seen = 0;
      for (const Event& e : events_) {
        if (e.slot == slot && ++seen == n) found = e;
      }
      return found.slot == slot;
    });
    EXPECT_EQ(found.slot, slot) << "no event " << n << " of slot " << slot;
    return found;
  }
  // Waits until no call is inside the sink. Release waits for every call
  // but its own thread's, and none starts after it; this is for a test
  // that let a call outlive its own Release.
  void Quiesce() {
    for (int i = 0; i < 5000 && in_flight_ > 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  // Slots of all events so far, in order.
  std::vector<int> Slots() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<int> slots;
    for (const Event& e : events_) slots.push_back(e.slot);
    return slots;
  }

 private:
  // The only place a sink call touches the object; in_flight_ is its last
  // touch.
  int32_t Add(int slot, int32_t number, const void* record, size_t size) {
    ++in_flight_;
    Event e;
    e.slot = slot;
    e.number = number;
    if (record != nullptr) e.bytes.assign(static_cast<const char*>(record), size);
    e.thread = std::this_thread::get_id();
    {
      std::lock_guard<std::mutex> lock(mu_);
      events_.push_back(std::move(e));
    }
    cv_.notify_all();
    --in_flight_;
    return 0;
  }

  std::atomic<int> in_flight_{0};
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Event> events_;
};

const char kScenario[] = R"json({
  "latency_ms": 0, "activity_ms": 100,
  "refuse": { "ids": [13], "names": ["blocked"] },
  "friends": [
    { "id": 11, "value": 7, "name": "张伟", "display_name": "老张", "long_text": "羽毛球",
      "status": 1, "info_a": -5, "info_b": 65535, "info_c": 123456 },
    { "id": 12, "value": 8, "listed": false, "name": "Li", "status": 3 },
    { "id": 15, "value": 9, "name": "Echo", "status": 2, "reply": "echo" }
  ],
  "users": [ { "id": 21, "value": 42, "reply": "收到" } ],
  "echo_prefix": "re: ",
  "reactions": [
    { "on": "request_a", "value": 1, "then": [ { "do": "user_list", "users": [
      { "id": 21, "name": "赵强" }, { "id": 22, "kind": 2, "name": "x" } ] } ] },
    { "on": "request_b", "value": 2, "then": [
      { "do": "friend_update", "user": 11, "set": { "status": 2, "long_text": "走了" } },
      { "do": "event_b", "value": "$value" } ] },
    { "on": "request_b", "value": 98, "then": [ { "do": "silence" } ] },
    { "on": "request_b", "value": 99, "then": [ { "do": "disconnect" } ] },
    { "on": "request_c", "then": [ { "do": "event_c" },
                                   { "do": "event_d", "values": [1, "$value", -3] } ] },
    { "on": "room_info", "then": [ { "do": "event_a", "user": "$value", "text": "$value:$rooms" } ] },
    { "on": "contact_user", "then": [ { "do": "text", "user": "$value", "text": "hi", "type": 5 } ] }
  ]
})json";

// An engine on kScenario with a recording sink, logged in as 10001.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Scenario scenario;
    std::string error;
    ASSERT_TRUE(ParseScenario(kScenario, &scenario, &error)) << error;
    engine_ = NewEngine(scenario, [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(journal_mu_);
      journal_.push_back(line);
    });
    ASSERT_NE(engine_, nullptr);
    engine_->SetSink(&sink_);
    ASSERT_EQ(engine_->LoginById(10001, 0), 2);
    engine_->Start();
    ASSERT_EQ(sink_.Nth(kSelfId, 1).number, 10001);
  }
  void TearDown() override {
    if (engine_ != nullptr) engine_->Release();
    sink_.Quiesce();
  }
  bool Journaled(const std::string& line) {
    std::lock_guard<std::mutex> lock(journal_mu_);
    for (const std::string& l : journal_) {
      if (l == line) return true;
    }
    return false;
  }

  RecordingSink sink_;
  IMsgLogic* engine_ = nullptr;
  std::mutex journal_mu_;
  std::vector<std::string> journal_;
};

TEST_F(EngineTest, FriendListComesAfterTheValuesWithEveryFieldInPlace) {
  engine_->GetFriendList();
  const Event list = sink_.Nth(kFriendList, 1);
  const Event values = sink_.Nth(kValues, 1);
  const std::vector<int> slots = sink_.Slots();
  EXPECT_LT(std::find(slots.begin(), slots.end(), kValues),
            std::find(slots.begin(), slots.end(), kFriendList));
  // Values of listed friends only: 11 and 15.
  ASSERT_EQ(U32(values.bytes, 0), 2u);
  EXPECT_EQ(I32(values.bytes, 4), 11);
  EXPECT_EQ(I32(values.bytes, 8), 7);
  EXPECT_EQ(I32(values.bytes, 12), 15);
  EXPECT_EQ(I32(values.bytes, 16), 9);

  const std::vector<Friend> friends = ReadFriendList(list.bytes);
  ASSERT_EQ(friends.size(), 3u);
  const Friend& zhang = friends[0];
  EXPECT_EQ(zhang.id, 11);
  EXPECT_EQ(zhang.value, 7);
  EXPECT_EQ(zhang.info_a, -5);
  EXPECT_EQ(zhang.info_b, 65535);
  EXPECT_EQ(zhang.info_c, 123456);
  EXPECT_EQ(zhang.status, 1);
  EXPECT_EQ(zhang.name, "张伟");  // UTF-8, no terminator
  EXPECT_EQ(zhang.display_name, "老张");
  EXPECT_EQ(zhang.long_text, "羽毛球");
  EXPECT_EQ(friends[1].name, "Li");
  EXPECT_EQ(friends[1].display_name, "");
  EXPECT_EQ(friends[1].status, 3);
  EXPECT_EQ(friends[2].status, 2);
  for (const Friend& f : friends) EXPECT_TRUE(f.gaps_zero) << f.id;
}

TEST_F(EngineTest, AnswersUserInfoForFriendsAndOthersButNotForStrangers) {
  engine_->RequestUserInfo(99);  // unknown: no answer
  engine_->RequestUserInfo(21);
  engine_->RequestUserInfo(12);
  const Event first = sink_.Nth(kUserInfo, 1);
  EXPECT_EQ(first.bytes.size(), 8u);
  EXPECT_EQ(I32(first.bytes, 0), 21);
  EXPECT_EQ(I32(first.bytes, 4), 42);
  const Event second = sink_.Nth(kUserInfo, 2);
  EXPECT_EQ(I32(second.bytes, 0), 12);
  EXPECT_EQ(I32(second.bytes, 4), 8);
}

TEST_F(EngineTest, RepliesToTextsAsTheScenarioSaysAndDropsMisaddressedOnes) {
  // A wrong value, then a wrong own id: dropped with a warning, no reply.
  engine_->SendText(15, 1, 10001, 1234, "lost");
  engine_->SendText(15, 1, 777, 9, "lost too");
  // The echo returns the host's bytes untouched behind the prefix.
  engine_->SendText(15, 1, 10001, 9, "\xC4\xE3\xBA\xC3");  // "你好" in GB2312
  engine_->SendText(21, 1, 10001, 42, "anything");
  const Event echo = sink_.Nth(kText, 1);
  EXPECT_EQ(echo.number, 15);
  EXPECT_TRUE(Zero(echo.bytes, 0, 20));
  EXPECT_EQ(I32(echo.bytes, 20), 1);
  EXPECT_EQ(U32(echo.bytes, 24), 8u);
  EXPECT_EQ(echo.bytes.substr(28), "re: \xC4\xE3\xBA\xC3");
  const Event fixed = sink_.Nth(kText, 2);
  EXPECT_EQ(fixed.number, 21);
  EXPECT_EQ(fixed.bytes.substr(28), "\xCA\xD5\xB5\xBD");  // "收到", converted to GB2312
  EXPECT_TRUE(Journaled("warning: SendText dropped: value 1234 for user 15, expected 9"));
  EXPECT_TRUE(Journaled("warning: SendText dropped: own id 777, expected 10001"));
}

TEST_F(EngineTest, ReactionsProduceTheirRecords) {
  engine_->RequestA(1);
  const Event users = sink_.Nth(kUserList, 1);
  ASSERT_EQ(I32(users.bytes, 0), 2);
  EXPECT_EQ(I32(users.bytes, 4), 21);
  EXPECT_EQ(users.bytes.at(8), 1);
  EXPECT_EQ(U32(users.bytes, 9), 6u);
  EXPECT_EQ(users.bytes.substr(13, 6), "赵强");
  EXPECT_EQ(I32(users.bytes, 19), 22);
  EXPECT_EQ(users.bytes.at(23), 2);
  EXPECT_EQ(users.bytes.substr(28), "x");

  engine_->RequestB(2);
  size_t end = 0;
  const Friend updated = ReadFriend(sink_.Nth(kFriendUpdate, 1).bytes, 0, &end);
  EXPECT_EQ(updated.id, 11);
  EXPECT_EQ(updated.status, 2);
  EXPECT_EQ(updated.long_text, "走了");
  EXPECT_EQ(updated.name, "张伟");
  EXPECT_EQ(sink_.Nth(kEventB, 1).number, 2);

  engine_->RequestC();
  sink_.Nth(kEventC, 1);
  const Event d = sink_.Nth(kEventD, 1);
  EXPECT_EQ(I32(d.bytes, 0), 1);
  EXPECT_EQ(I32(d.bytes, 4), 0);
  EXPECT_EQ(I32(d.bytes, 8), -3);

  engine_->ContactUser(11, 7, 10001);
  const Event text = sink_.Nth(kText, 1);
  EXPECT_EQ(text.number, 11);
  EXPECT_EQ(I32(text.bytes, 20), 5);
}

TEST_F(EngineTest, ReadsTheRoomBufferTheAgentPacks) {
  // Two rooms back to back, in a buffer of 2 * 176 bytes:
  // {v1, L1, v2, L2, v3, v4, text1, text2}.
  std::string packed;
  auto put = [&packed](uint32_t v) {
    for (int s = 0; s < 32; s += 8) packed.push_back(static_cast<char>(v >> s));
  };
  put(1); put(6); put(2); put(1); put(3); put(4); packed += "大厅" "x";
  put(5); put(1); put(6); put(0); put(7); put(8); packed += "B";
  packed.resize(2 * 176, '\0');
  engine_->SendRoomInfo(2, packed.data());
  const Event a = sink_.Nth(kEventA, 1);
  EXPECT_EQ(I32(a.bytes, 0), 2);
  EXPECT_TRUE(Zero(a.bytes, 4, 22));
  EXPECT_EQ(std::string(a.bytes.c_str() + 22), "2:\xB4\xF3\xCC\xFC, B");  // GB2312
  EXPECT_TRUE(Journaled("SendRoomInfo(2, {1 \"大厅\" 2 \"x\" 3 4}, {5 \"B\" 6 \"\" 7 8})"));
}

TEST_F(EngineTest, StopsAnsweringAfterADisconnectUntilTheNextLogin) {
  std::thread::id replies = sink_.Nth(kSelfId, 1).thread;
  std::thread::id notices = sink_.Nth(kActivity, 1).thread;
  EXPECT_NE(replies, notices);  // the agent sees events from two threads

  engine_->RequestB(99);
  sink_.Nth(kDisconnect, 1);
  engine_->GetFriendList();
  EXPECT_TRUE(Journaled("  not connected: GetFriendList ignored"));

  ASSERT_EQ(engine_->LoginById(10001, 0), 2);
  engine_->Start();
  engine_->GetFriendList();
  sink_.Nth(kFriendList, 1);
}

TEST_F(EngineTest, SilenceStopsEveryAnswer) {
  engine_->RequestB(98);
  engine_->KeepAlive();
  // Wait for the silence to take hold, then nothing is answered.
  for (int i = 0; i < 500 && !Journaled("(silent from now on)"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  engine_->KeepAlive();
  EXPECT_TRUE(Journaled("  not connected: KeepAlive ignored"));
}

TEST(EngineLogin, RefusesTheScenariosUsersAndMalformedNames) {
  Scenario scenario;
  std::string error;
  ASSERT_TRUE(ParseScenario(kScenario, &scenario, &error)) << error;
  IMsgLogic* engine = NewEngine(scenario, nullptr);
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(engine->LoginById(13, 0), 0);
  EXPECT_EQ(engine->LoginById(14, 0), 2);
  EXPECT_EQ(engine->LoginByName("0X626C6F636B6564", 0), 0);  // "blocked"
  EXPECT_EQ(engine->LoginByName("0X64656D6F", 0), 2);        // "demo"
  EXPECT_EQ(engine->LoginByName("0X6", 0), 0);
  EXPECT_EQ(engine->LoginByName("demo", 0), 0);
  EXPECT_EQ(engine->LoginByName(nullptr, 0), 0);
  engine->Release();
}

// The real library, on its built-in scenario: the friends the demo shows.
TEST(EngineLibrary, BuiltInScenarioHasOfflineFriendsAndAnUnlistedOne) {
  const char* named = std::getenv("MSGLOGIC_SCENARIO");
  if (named != nullptr && *named != '\0') GTEST_SKIP() << "MSGLOGIC_SCENARIO is set";
  RecordingSink sink;
  IMsgLogic* engine = CreateMsgLogic();
  ASSERT_NE(engine, nullptr);
  engine->SetSink(&sink);
  ASSERT_EQ(engine->LoginByName("0X64656D6F", 0), 2);
  engine->SetUserId(10001);
  engine->Start();
  engine->GetFriendList();
  const std::vector<Friend> friends = ReadFriendList(sink.Nth(kFriendList, 1).bytes);
  const Event values = sink.Nth(kValues, 1);
  engine->Release();
  sink.Quiesce();
  EXPECT_EQ(sink.Nth(kSelfId, 1).number, 10001);
  ASSERT_GE(friends.size(), 5u);
  EXPECT_EQ(friends[0].name, "张伟");
  int offline = 0;
  for (const Friend& f : friends) offline += f.status == 2 || f.status == 3;
  EXPECT_GE(offline, 2);
  EXPECT_LT(U32(values.bytes, 0), friends.size());
}

// ---- Release ----

// A sink whose activity handler waits until the test lets it go: a thread
// held up inside a sink call for as long as the test likes (a preempted
// thread, or a host callback that takes its time). Static: an engine thread
// may still be returning from it when a test ends.
class BlockingSink : public testing::QuietSink {
 public:
  std::mutex* lock = nullptr;
  std::atomic<bool> entered{false};
  std::atomic<bool> left{false};
  std::atomic<bool> released{false};
  std::atomic<int> calls_after_release{0};

  int32_t OnActivity() override {
    Count();
    entered = true;
    { std::lock_guard<std::mutex> hold(*lock); }
    left = true;
    return 0;
  }
  int32_t OnSelfId(const int32_t*) override { return Count(); }
  int32_t OnEventC() override { return Count(); }

 private:
  int32_t Count() {
    if (released) ++calls_after_release;
    return 0;
  }
};

bool WaitUntil(const std::atomic<bool>& flag) {
  for (int i = 0; i < 5000 && !flag; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return flag;
}

// Once Release has returned the sink may be gone: a call under way must
// have ended, however long it took.
TEST(EngineRelease, WaitsForASinkCallUnderWayWithoutTimeLimit) {
  static std::mutex hold_up;  // held: the sink call waits
  static BlockingSink sink;
  sink.lock = &hold_up;
  sink.entered = sink.left = sink.released = false;  // the test may be repeated
  sink.calls_after_release = 0;
  Scenario scenario = DefaultScenario();
  scenario.activity_ms = 100;
  scenario.latency_ms = 0;
  IMsgLogic* engine = NewEngine(scenario, nullptr);
  ASSERT_NE(engine, nullptr);
  std::unique_lock<std::mutex> hold(hold_up);
  engine->SetSink(&sink);
  ASSERT_EQ(engine->LoginById(10001, 0), 2);
  engine->Start();
  engine->RequestC();
  ASSERT_TRUE(WaitUntil(sink.entered));  // the notices thread is inside the sink
  std::atomic<bool> release_returned{false};
  std::thread releaser([&] {
    engine->Release();
    release_returned = true;
    sink.released = true;
  });
  // Longer than any grace an engine might allow itself (it used to be
  // 100 ms): Release is still waiting.
  for (int i = 0; i < 300 && !release_returned; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_FALSE(release_returned.load()) << "Release returned while a sink call was under way";
  EXPECT_FALSE(sink.left.load());
  hold.unlock();
  releaser.join();
  EXPECT_TRUE(sink.left.load());
  // Give a faulty engine the chance to call again (several activity periods).
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(sink.calls_after_release, 0);
}

// A host may release the agent from a callback: the engine is then released
// on one of its own threads, inside a sink call.
class ReleasingSink : public testing::QuietSink {
 public:
  std::atomic<IMsgLogic*> engine{nullptr};
  std::atomic<bool> released{false};
  int32_t OnEventC() override {
    engine.load()->Release();
    released = true;
    return 0;
  }
};

TEST(EngineRelease, MayBeCalledFromInsideASinkCall) {
  static ReleasingSink sink;
  sink.released = false;
  IMsgLogic* engine = NewEngine(DefaultScenario(), nullptr);
  ASSERT_NE(engine, nullptr);
  sink.engine = engine;
  engine->SetSink(&sink);
  ASSERT_EQ(engine->LoginById(10001, 0), 2);
  engine->Start();
  engine->RequestC();
  EXPECT_TRUE(WaitUntil(sink.released));
}

// ---- Scenario files ----

TEST(ScenarioFormat, RejectsMistakesWithTheirPlace) {
  const struct {
    const char* json;
    const char* error;
  } cases[] = {
      {R"({"friends": [{"id": 1, "stauts": 2}]})", "friends[0]: unknown key \"stauts\""},
      {R"({"friends": [{"id": 1, "status": 300}]})", "friends[0].status: out of range [0, 255]"},
      {R"({"friends": [{"name": "x"}]})", "friends[0]: missing \"id\""},
      {R"({"friends": [{"id": 1}], "users": [{"id": 1}]})", "users[0].id: user 1 appears twice"},
      {R"({"reactions": [{"on": "request_d", "then": []}]})",
       "reactions[0].on: unknown trigger \"request_d\""},
      {R"({"reactions": [{"on": "request_c", "then": [{"do": "explode"}]}]})",
       "reactions[0].then[0].do: unknown action \"explode\""},
      {R"({"reactions": [{"on": "request_c", "then": [{"do": "friend_update", "user": 5}]}]})",
       "reactions[0].then[0].user: no friend 5"},
      {R"({"reactions": [{"on": "request_c", "then": [{"do": "event_d", "values": [1, 2]}]}]})",
       "reactions[0].then[0].values: expected an array of three"},
      {R"({"reactions": [{"on": "request_c", "then": [{"do": "event_b", "value": "$valeu"}]}]})",
       "reactions[0].then[0].value: expected an integer or \"$value\""},
      {R"({"activity_ms": 25000})", "activity_ms: out of range [100, 19000]"},
  };
  for (const auto& c : cases) {
    Scenario scenario;
    std::string error;
    EXPECT_FALSE(ParseScenario(c.json, &scenario, &error)) << c.json;
    EXPECT_EQ(error, c.error) << c.json;
  }
  Scenario scenario;
  std::string error;
  EXPECT_FALSE(ParseScenario("{\"friends\": [", &scenario, &error));
  EXPECT_NE(error.find("parse error"), std::string::npos) << error;
}

TEST(ScenarioFormat, BuiltInAndExampleScenariosParse) {
  Scenario scenario;
  std::string error;
  EXPECT_TRUE(ParseScenario(DefaultScenarioJson(), &scenario, &error)) << error;
  int examples = 0;
  for (const auto& entry : std::filesystem::directory_iterator(MSGLOGIC_EXAMPLE_SCENARIOS)) {
    if (entry.path().extension() != ".json") continue;
    ++examples;
    std::ifstream file(entry.path(), std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_TRUE(ParseScenario(text.str(), &scenario, &error)) << entry.path() << ": " << error;
  }
  EXPECT_GE(examples, 1);
}

}  // namespace
}  // namespace stand_in
