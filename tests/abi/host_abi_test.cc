// The agent library as a host binary meets it: built against include/ alone,
// loading the shipped library at run time, with a replacement engine library
// of the engine's name loaded first. Engine events are fired through raw sink
// slots and what reaches the host is compared byte for byte.
//
// Only the public headers are included: nothing of the agent's own code.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "MsgLogicEx.h"
#include "library.h"

namespace {

namespace fs = std::filesystem;

// A raw call through vtable slot `index`.
template <typename R, typename... Args>
R CallSlot(void* object, int index, Args... args) {
  using Fn = R(MSG_THISCALL*)(void*, Args...);
  return (*reinterpret_cast<Fn**>(object))[index](object, args...);
}

// Bytes appended little-endian, as an engine writes its records.
class Bytes {
 public:
  Bytes& U8(uint8_t v) { data_.push_back(static_cast<char>(v)); return *this; }
  Bytes& U16(uint16_t v) { return U8(v & 0xFF).U8(v >> 8); }
  Bytes& U32(uint32_t v) { return U16(v & 0xFFFF).U16(v >> 16); }
  Bytes& Zeros(size_t n) { data_.append(n, '\0'); return *this; }
  Bytes& Text(const std::string& s) { data_ += s; return *this; }
  Bytes& Append(const Bytes& other) { data_ += other.data_; return *this; }
  const char* data() const { return data_.data(); }
  const std::string& str() const { return data_; }

 private:
  std::string data_;
};

Bytes FriendRecord(int32_t id, int32_t value, const std::string& name,
                   const std::string& display, const std::string& text, uint8_t status) {
  Bytes b;
  b.U32(id).U32(value).U32(0x01020304).U16(0xBEEF).Zeros(6);
  b.U32(static_cast<uint32_t>(name.size())).U32(static_cast<uint32_t>(display.size()));
  b.Zeros(2).U32(0x0A0B0C0D).U32(static_cast<uint32_t>(text.size())).U8(status).Zeros(8);
  return b.Text(name).Text(display).Text(text);
}

struct Received {
  int slot = 0;
  std::vector<int32_t> ints;
  std::string bytes;  // records and texts, copied during the call
};

// The host's callback object.
class Host final : public IMsgLogicExCallback {
 public:
  size_t friend_entries = 0;
  IMsgLogicEx* release_on_event_c = nullptr;

  void* GetInterface(int32_t id) override {
    return id == MSG_IID_LOGICEX_CALLBACK ? static_cast<IMsgLogicExCallback*>(this) : nullptr;
  }
  int32_t OnFriendList(int32_t flag, const FriendInfo* friends) override {
    std::string copy;
    if (friends != nullptr) {
      copy.assign(reinterpret_cast<const char*>(friends), friend_entries * sizeof(FriendInfo));
    }
    return Add({3, {flag}, copy});
  }
  int32_t OnEventA(int32_t id, const char* text) override { return Add({4, {id}, text}); }
  int32_t OnUserList(int32_t count, const UserEntry* users) override {
    std::string names;
    std::vector<int32_t> ints{count};
    for (int32_t i = 0; i < count; ++i) {
      ints.push_back(users[i].nUserId);
      names += users[i].pszName;
      names += '|';
    }
    // The array is packed: the name pointer right after the 32-bit id.
    const char* raw = reinterpret_cast<const char*>(users);
    const char* name0 = nullptr;
    std::memcpy(&name0, raw + 4, sizeof name0);
    const char* first_name = count > 0 ? users[0].pszName : nullptr;  // a copy, not a reference
    if (count > 0) {
      EXPECT_EQ(name0, first_name);
    }
    return Add({5, ints, names});
  }
  int32_t OnUserData(int32_t id, int32_t kind, const void* data) override {
    std::string copy;
    if (kind == 0) copy = static_cast<const char*>(data);
    if (kind == 1) {
      const FriendInfo* info = *static_cast<const FriendInfo* const*>(data);
      copy.assign(reinterpret_cast<const char*>(info), sizeof(FriendInfo));
    }
    return Add({6, {id, kind}, copy});
  }
  int32_t OnEventB(int32_t v) override { return Add({7, {v}, ""}); }
  int32_t OnEventC() override {
    Add({8, {}, ""});
    if (release_on_event_c != nullptr) release_on_event_c->Release();
    return 0;
  }
  int32_t OnEventD(int32_t a, int32_t b, int32_t c) override { return Add({9, {a, b, c}, ""}); }
  int32_t OnConnectionLost() override { return Add({10, {}, ""}); }

  std::vector<Received> Take() {
    std::lock_guard<std::mutex> hold(mu_);
    std::vector<Received> out;
    out.swap(received_);
    return out;
  }

 private:
  int32_t Add(Received r) {
    std::lock_guard<std::mutex> hold(mu_);
    received_.push_back(std::move(r));
    return 0;
  }
  std::mutex mu_;
  std::vector<Received> received_;
};

using SinkFn = void* (*)();
using CallFn = const char* (*)(int);

class HostAbiTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::error_code ignored;
    fs::remove(MSGLOGIC_TRACE_FILE, ignored);  // traces of this run only
    std::string error;
    // The replacement engine first: the agent's dependency on the engine
    // library's name is then met by it.
    void* engine = OpenLibrary(MSGLOGIC_TEST_ENGINE, &error);
    ASSERT_NE(engine, nullptr) << error;
    engine_sink_ = reinterpret_cast<SinkFn>(FindSymbol(engine, "TestEngineSink"));
    engine_call_ = reinterpret_cast<CallFn>(FindSymbol(engine, "TestEngineCall"));
    void* agent_library = OpenLibrary(MSGLOGICEX_LIBRARY, &error);
    ASSERT_NE(agent_library, nullptr) << error;
    create_ = reinterpret_cast<PFN_CreateMsgLogicEx>(
        FindSymbol(agent_library, "CreateMsgLogicEx"));
    ASSERT_NE(create_, nullptr);
  }

  void SetUp() override {
    ASSERT_NE(create_, nullptr);
    work_ = fs::temp_directory_path() /
            ("msglogic-abi-" + std::to_string(std::hash<std::string>()(
                                   ::testing::UnitTest::GetInstance()->current_test_info()->name())));
    fs::create_directories(work_ / "KWPMsg");
    std::ofstream(work_ / "KWPMsg" / "loginInfo.ini", std::ios::binary)
        << "[loginInfo]\r\nid1=300\r\nflag1=1\r\nid2=400\r\nflag2=0\r\nname2=host\r\n";
    old_cwd_ = fs::current_path();
    fs::current_path(work_);
    agent_ = create_();
    ASSERT_NE(agent_, nullptr);
  }

  void TearDown() override {
    if (agent_ != nullptr) agent_->Release();
    fs::current_path(old_cwd_);
    std::error_code ignored;
    fs::remove_all(work_, ignored);
  }

  // The engine's calls since the test suite began.
  static std::vector<std::string> EngineCalls() {
    std::vector<std::string> out;
    for (int i = 0; const char* call = engine_call_(i); ++i) out.push_back(call);
    return out;
  }
  static bool EngineGot(const std::string& call) {
    for (const std::string& c : EngineCalls()) {
      if (c == call) return true;
    }
    return false;
  }

  // Fires the event on a thread of its own, as an engine does.
  template <typename F>
  static void OnEngineThread(F f) {
    std::thread t(f);
    t.join();
  }

  static PFN_CreateMsgLogicEx create_;
  static SinkFn engine_sink_;
  static CallFn engine_call_;
  fs::path work_;
  fs::path old_cwd_;
  IMsgLogicEx* agent_ = nullptr;
  Host host_;
};

PFN_CreateMsgLogicEx HostAbiTest::create_ = nullptr;
SinkFn HostAbiTest::engine_sink_ = nullptr;
CallFn HostAbiTest::engine_call_ = nullptr;

TEST_F(HostAbiTest, ConnectThroughTheLoginFileWritesTheTraceLines) {
  void* self = agent_;
  ASSERT_EQ((CallSlot<void*, int32_t>(self, 0, 1)), self);
  ASSERT_EQ((CallSlot<void*, IMsgObject*, int32_t>(self, 3, &host_, 2)),
            static_cast<IMsgLogicExCallback*>(&host_));
  EXPECT_EQ((CallSlot<int32_t, int32_t, int32_t>(self, 4, 300, 11)), 0);
  EXPECT_EQ((CallSlot<int32_t, int32_t, int32_t>(self, 4, 400, 12)), 0);
  EXPECT_EQ((CallSlot<int32_t, int32_t, int32_t>(self, 4, 999, 0)), 3);
  EXPECT_TRUE(EngineGot("LoginById 300 11"));
  EXPECT_TRUE(EngineGot("LoginByName 0X686F7374"));
  EXPECT_TRUE(EngineGot("SetUserId 400"));

  std::ifstream trace(MSGLOGIC_TRACE_FILE, std::ios::binary);
  std::stringstream all;
  all << trace.rdbuf();
  const std::string text = all.str();
  EXPECT_NE(text.find("CMsgLogicAgent::Connect\nconnect suc!\n"
                      "CMsgLogicAgent::Connect\nconnect suc!\n"
                      "CMsgLogicAgent::Connect\nconnect failed:return 3\n"),
            std::string::npos)
      << text;
}

TEST_F(HostAbiTest, EngineEventsReachTheHostByteForByte) {
  agent_->SetCallback(&host_, 2);
  ASSERT_EQ(agent_->Connect(300, 0), 0);
  void* sink = engine_sink_();
  ASSERT_NE(sink, nullptr);

  // Own id, then values for user 11 only, then a list of users 10 and 11.
  const int32_t self_id = 300;
  OnEngineThread([&] { CallSlot<int32_t, const void*>(sink, 80, &self_id); });
  Bytes values;
  values.U32(1).U32(11).U32(0x7777);
  int32_t count = -1;
  OnEngineThread([&] { count = CallSlot<int32_t, const void*>(sink, 122, values.data()); });
  EXPECT_EQ(count, 1);
  Bytes list;
  list.U32(2)
      .Append(FriendRecord(10, 1000, "a", "", "", 0))
      .Append(FriendRecord(11, 1100, "\xE5\xBC\xA0\xE4\xB8\x89", "", "long", 3));  // 张三
  host_.friend_entries = 2;
  OnEngineThread([&] { CallSlot<int32_t, const void*>(sink, 37, list.data()); });

  std::vector<Received> got = host_.Take();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].slot, 3);
  EXPECT_EQ(got[0].ints, std::vector<int32_t>{1});
  // Expected bytes: user 11 first (the only one with a value), then zeros.
  Bytes expected;
  expected.U32(11).U32(1100).U32(0x01020304).U16(0xBEEF).Zeros(10);
  expected.Text("\xD5\xC5\xC8\xFD").Zeros(28);  // szName: 张三 in GB2312
  expected.Text("\xD5\xC5\xC8\xFD").Zeros(30);  // szDisplayName falls back to the name
  expected.U32(0x0A0B0C0D).Text("long").Zeros(252).U8(3).Zeros(8);
  expected.Zeros(359);
  ASSERT_EQ(expected.str().size(), 2 * sizeof(FriendInfo));
  EXPECT_EQ(got[0].bytes, expected.str());

  // One friend's details: a pointer to a pointer to the record, no fallback.
  Bytes single = FriendRecord(12, 1200, "b", "", "", 1);
  OnEngineThread([&] { CallSlot<int32_t, const void*>(sink, 39, single.data()); });
  got = host_.Take();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].slot, 6);
  EXPECT_EQ(got[0].ints, (std::vector<int32_t>{12, 1}));
  Bytes one;
  one.U32(12).U32(1200).U32(0x01020304).U16(0xBEEF).Zeros(10).Text("b").Zeros(31);
  one.Zeros(34).U32(0x0A0B0C0D).Zeros(256).U8(1).Zeros(8);
  EXPECT_EQ(got[0].bytes, one.str());

  // A user list of kinds 1, 2, 1; a text record; events A, B, C, D.
  Bytes users;
  users.U32(3).U32(21).U8(1).U32(3).Text("abc").U32(22).U8(2).U32(1).Text("x");
  users.U32(23).U8(1).U32(0);
  OnEngineThread([&] { CallSlot<int32_t, const void*>(sink, 85, users.data()); });
  Bytes text;
  text.Zeros(20).U32(1).U32(5).Text("hello");
  OnEngineThread([&] { CallSlot<int32_t, int32_t, const void*>(sink, 6, 31, text.data()); });
  Bytes event_a;
  event_a.U32(41).Zeros(18).Text("note").U8(0);
  const int32_t triple[3] = {7, 8, 9};
  OnEngineThread([&] {
    CallSlot<int32_t, const void*>(sink, 36, event_a.data());
    CallSlot<int32_t, int32_t>(sink, 82, 0);
    CallSlot<int32_t>(sink, 90);
    CallSlot<int32_t, const void*>(sink, 91, triple);
  });
  got = host_.Take();
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(got[0].slot, 5);
  EXPECT_EQ(got[0].ints, (std::vector<int32_t>{2, 21, 23}));
  EXPECT_EQ(got[0].bytes, "abc||");
  EXPECT_EQ(got[1].slot, 6);
  EXPECT_EQ(got[1].ints, (std::vector<int32_t>{31, 0}));
  EXPECT_EQ(got[1].bytes, "hello");
  EXPECT_EQ(got[2].slot, 4);
  EXPECT_EQ(got[2].ints, std::vector<int32_t>{41});
  EXPECT_EQ(got[2].bytes, "note");
  EXPECT_EQ(got[3].ints, std::vector<int32_t>{0});
  EXPECT_EQ(got[4].slot, 8);
  EXPECT_EQ(got[5].ints, (std::vector<int32_t>{7, 8, 9}));

  // Commands reach the engine with the cached value and the own id.
  EXPECT_EQ(agent_->SendText(11, "hi"), 0);
  EXPECT_TRUE(EngineGot("SendText 11 1 300 1100 hi"));
  EXPECT_EQ(agent_->ContactUser(12), 0);
  EXPECT_TRUE(EngineGot("ContactUser 12 1200 300"));
}

TEST_F(HostAbiTest, RoomInformationArrivesPacked) {
  agent_->SetCallback(&host_, 2);
  ASSERT_EQ(agent_->Connect(300, 0), 0);
  RoomInfo rooms[2] = {};
  rooms[0].nValue1 = 1;
  std::strcpy(rooms[0].szText1, "ab");
  rooms[0].nValue2 = 2;
  rooms[0].nValue3 = 3;
  rooms[0].nValue4 = 4;
  rooms[1].nValue1 = 5;
  std::strcpy(rooms[1].szText2, "\xD6\xD0");  // 中
  EXPECT_EQ(agent_->SendRoomInfo(2, rooms), 0);
  Bytes packed;
  packed.U32(1).U32(2).U32(2).U32(0).U32(3).U32(4).Text("ab");
  packed.U32(5).U32(0).U32(0).U32(3).U32(0).U32(0).Text("\xE4\xB8\xAD");
  packed.Zeros(2 * 176 - packed.str().size());
  std::string hex;
  for (unsigned char c : packed.str()) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", c);
    hex += digits;
  }
  EXPECT_TRUE(EngineGot("SendRoomInfo 2 " + hex));
}

TEST_F(HostAbiTest, ReleaseFromInsideACallbackOnAnEngineThread) {
  agent_->SetCallback(&host_, 2);
  ASSERT_EQ(agent_->Connect(300, 0), 0);
  void* sink = engine_sink_();
  host_.release_on_event_c = agent_;
  OnEngineThread([&] { CallSlot<int32_t>(sink, 90); });
  agent_ = nullptr;  // released by the callback
  EXPECT_EQ(engine_sink_(), nullptr);  // the engine was released with it
}

// Slot 2 is the destructor entry of every compiler's layout: `delete` in a
// host built with `virtual ~IMsgObject()` by Microsoft's compiler arrives
// there with flags 1 and ends the agent, its engine with it. The sink's
// slot 123 does nothing.
TEST_F(HostAbiTest, SlotTwoEndsTheAgentAndSinkSlot123DoesNothing) {
  agent_->SetCallback(&host_, 2);
  ASSERT_EQ(agent_->Connect(300, 0), 0);
  void* sink = engine_sink_();
  ASSERT_NE(sink, nullptr);
  EXPECT_EQ((CallSlot<void*, uint32_t>(sink, 123, 1)), sink);
  CallSlot<int32_t, int32_t>(sink, 82, 6);
  std::vector<Received> got = host_.Take();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].ints, std::vector<int32_t>{6});

  void* self = agent_;
  EXPECT_EQ((CallSlot<void*, uint32_t>(self, 2, 1)), self);
  agent_ = nullptr;
  EXPECT_EQ(engine_sink_(), nullptr);
  EXPECT_TRUE(EngineGot("Release"));
}

}  // namespace
