// Unloading the agent library right after Release, as a host closing down
// may: a thread still inside a host callback that outlived Release's wait
// comes back through the library's code afterwards, and the process must
// survive it. Built like the binary-interface test (include/ alone, the
// library loaded at run time, the replacement engine loaded first).
//
// These tests sleep for real: the host's OnConnectionLost blocks for longer
// than Release waits. They carry the label `slow` and run apart from the
// quick suites.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "MsgLogic.h"
#include "MsgLogicEx.h"
#include "library.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The host: OnConnectionLost blocks for `block`, then says it is leaving;
// from that moment on only the library's own code is left to run on that
// thread.
class Host final : public IMsgLogicExCallback {
 public:
  explicit Host(std::chrono::milliseconds block) : block_(block) {}
  void* GetInterface(int32_t id) override {
    return id == MSG_IID_LOGICEX_CALLBACK ? static_cast<IMsgLogicExCallback*>(this) : nullptr;
  }
  int32_t OnFriendList(int32_t, const FriendInfo*) override { return 0; }
  int32_t OnEventA(int32_t, const char*) override { return 0; }
  int32_t OnUserList(int32_t, const UserEntry*) override { return 0; }
  int32_t OnUserData(int32_t, int32_t, const void*) override { return 0; }
  int32_t OnEventB(int32_t) override { return 0; }
  int32_t OnEventC() override { return 0; }
  int32_t OnEventD(int32_t, int32_t, int32_t) override { return 0; }
  int32_t OnConnectionLost() override {
    if (entered.exchange(true)) return 0;  // only the first loss blocks
    std::this_thread::sleep_for(block_);
    leaving = true;
    return 0;
  }

  std::atomic<bool> entered{false};
  std::atomic<bool> leaving{false};

 private:
  const std::chrono::milliseconds block_;
};

bool WaitUntil(const std::atomic<bool>& flag, std::chrono::seconds limit) {
  const auto end = Clock::now() + limit;
  while (!flag.load() && Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return flag.load();
}

class UnloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    engine_ = OpenLibrary(MSGLOGIC_TEST_ENGINE, &error);
    ASSERT_NE(engine_, nullptr) << error;
    engine_sink_ = reinterpret_cast<void* (*)()>(FindSymbol(engine_, "TestEngineSink"));
    ASSERT_NE(engine_sink_, nullptr);
    library_ = OpenLibrary(MSGLOGICEX_LIBRARY, &error);
    ASSERT_NE(library_, nullptr) << error;
    auto create = reinterpret_cast<PFN_CreateMsgLogicEx>(FindSymbol(library_, "CreateMsgLogicEx"));
    ASSERT_NE(create, nullptr);

    work_ = fs::temp_directory_path() /
            ("msglogic-unload-" + std::string(::testing::UnitTest::GetInstance()
                                                  ->current_test_info()->name()));
    fs::create_directories(work_ / "KWPMsg");
    std::ofstream(work_ / "KWPMsg" / "loginInfo.ini", std::ios::binary)
        << "[loginInfo]\r\nid1=300\r\nflag1=1\r\n";
    old_cwd_ = fs::current_path();
    fs::current_path(work_);
    agent_ = create();
    ASSERT_NE(agent_, nullptr);
  }

  void TearDown() override {
    fs::current_path(old_cwd_);
    std::error_code ignored;
    fs::remove_all(work_, ignored);
  }

  // Once `host` is inside OnConnectionLost: Release on another host thread,
  // then the library unloaded at once; then waits until the blocked thread
  // has left the host's code and the library's.
  void ReleaseThenUnload(Host* host, std::thread* lost_on) {
    ASSERT_TRUE(WaitUntil(host->entered, std::chrono::seconds(60)));
    std::thread releaser([this] { agent_->Release(); });
    releaser.join();
    agent_ = nullptr;
    EXPECT_FALSE(host->leaving.load()) << "Release waited for the callback: nothing is tested";
    CloseLibrary(library_);
    ASSERT_TRUE(WaitUntil(host->leaving, std::chrono::seconds(30)));
    if (lost_on != nullptr) lost_on->join();
    // What is left of the thread's way out, through the library.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  }

  void* engine_ = nullptr;
  void* (*engine_sink_)() = nullptr;
  void* library_ = nullptr;
  IMsgLogicEx* agent_ = nullptr;
  fs::path work_;
  fs::path old_cwd_;
};

// The engine reports the loss on a thread of its own; the host keeps that
// thread 6 s, longer than the 5 s Release waits for callbacks under way.
TEST_F(UnloadTest, EngineThreadInsideACallbackThatOutlivesRelease) {
  Host host(std::chrono::milliseconds(6000));
  agent_->SetCallback(&host, MSG_IID_LOGICEX_CALLBACK);
  ASSERT_EQ(agent_->Connect(300, 0), 0);
  auto* sink = static_cast<IMsgLogicSink*>(engine_sink_());
  ASSERT_NE(sink, nullptr);
  std::thread engine_thread([sink] { sink->OnDisconnect(); });
  ReleaseThenUnload(&host, &engine_thread);
  // Still here: the thread came back through loaded code.
}

// The supervision worker declares the loss (no activity for more than
// 20 s) and the host keeps it 12 s: longer than Release waits for the
// callback (5 s) and then for the worker (5 s).
TEST_F(UnloadTest, WorkerInsideACallbackThatOutlivesRelease) {
  Host host(std::chrono::milliseconds(12000));
  agent_->SetCallback(&host, MSG_IID_LOGICEX_CALLBACK);
  ASSERT_EQ(agent_->Connect(300, 0), 0);
  ReleaseThenUnload(&host, nullptr);
#if defined(_WIN32)
  // The worker's reference was the last: the DLL is gone with it.
  EXPECT_FALSE(LibraryLoaded(MSGLOGICEX_LIBRARY));
#endif
}

// A friend list of `count` records (47-byte header, then a name, the other
// two texts empty), every user with a Chinese name of 10 characters.
std::vector<char> LongFriendList(uint32_t count) {
  static const char kName[] = "\xE4\xB8\xAD\xE6\x96\x87\xE5\x90\x8D\xE5\xAD\x97\xE4\xB8\xAD"
                              "\xE6\x96\x87\xE5\x90\x8D\xE5\xAD\x97\xE4\xB8\xAD\xE6\x96\x87";
  const uint32_t name_size = sizeof kName - 1;
  std::vector<char> list(4 + size_t{count} * (47 + name_size), '\0');
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) list[at + i] = static_cast<char>(v >> (8 * i));
  };
  put32(0, count);
  for (uint32_t k = 0; k < count; ++k) {
    const size_t at = 4 + size_t{k} * (47 + name_size);
    put32(at, 1000 + k);          // user id
    put32(at + 4, k);             // value
    put32(at + 20, name_size);    // name length
    list[at + 38] = 1;            // online
    std::memcpy(&list[at + 47], kName, name_size);
  }
  return list;
}

// An engine event that is inside the agent's own code, in no host callback
// (caching a long friend list), when the host releases the agent and unloads
// the library at once: Release waits for it, or keeps the library loaded.
TEST_F(UnloadTest, EngineThreadInsideTheAgentsCodeWhenReleaseReturns) {
  Host host(std::chrono::milliseconds(0));
  agent_->SetCallback(&host, MSG_IID_LOGICEX_CALLBACK);
  ASSERT_EQ(agent_->Connect(300, 0), 0);
  auto* sink = static_cast<IMsgLogicSink*>(engine_sink_());
  ASSERT_NE(sink, nullptr);
  const std::vector<char> list = LongFriendList(150000);
  std::atomic<bool> started{false};
  std::thread engine_thread([&] {
    started = true;
    sink->OnFriendList(list.data());
  });
  while (!started) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // well inside the list
  agent_->Release();
  agent_ = nullptr;
  CloseLibrary(library_);
  engine_thread.join();
  // Still here: the thread came back through loaded code.
}

}  // namespace
