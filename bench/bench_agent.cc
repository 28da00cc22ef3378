#include "bench/bench_agent.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "agent/msg_logic_agent.h"
#include "tests/support/agent_peer.h"

namespace msglogic {
namespace bench {
namespace {

constexpr int32_t kUserId = 100;

// An engine that accepts every login and otherwise only counts. Its
// heartbeat reports activity four times a second, so a benchmark that runs
// for minutes is never judged disconnected by the supervision worker.
class BenchEngine final : public IMsgLogic {
 public:
  int32_t SetSink(IMsgLogicSink* sink) override {
    std::lock_guard<std::mutex> hold(mu_);
    sink_ = sink;
    return 0;
  }
  int32_t LoginByName(const char*, int32_t) override { return 2; }
  int32_t LoginById(int32_t, int32_t) override { return 2; }
  int32_t Release() override {
    {
      std::lock_guard<std::mutex> hold(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    // The heartbeat only calls OnActivity, which takes no lock the caller of
    // Release may hold, so waiting for it cannot deadlock.
    if (heartbeat_.joinable()) heartbeat_.join();
    delete this;
    return 0;
  }
  int32_t SendText(int32_t, int32_t, int32_t, int32_t, const char* text) override {
    if (text != nullptr) Counters().texts.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
  int32_t SetUserId(int32_t) override { return 0; }
  int32_t RequestUserInfo(int32_t) override {
    Counters().user_info_requests.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
  int32_t ContactUser(int32_t, int32_t, int32_t) override { return 0; }
  int32_t Start() override {
    std::lock_guard<std::mutex> hold(mu_);
    if (!heartbeat_.joinable()) heartbeat_ = std::thread([this] { Heartbeat(); });
    return 0;
  }
  int32_t RequestA(int32_t) override { return 0; }
  int32_t RequestB(int32_t) override { return 0; }
  int32_t SendRoomInfo(uint32_t count, const void* packed) override {
    // Reads the last byte, as an engine reading the buffer would.
    const auto* bytes = static_cast<const unsigned char*>(packed);
    const size_t size = static_cast<size_t>(count) * 176;
    Counters().room_bytes.fetch_add(size + (size != 0 ? bytes[size - 1] : 0),
                                    std::memory_order_relaxed);
    return 0;
  }
  int32_t RequestC() override { return 0; }
  int32_t KeepAlive() override { return 0; }
  int32_t GetFriendList() override { return 0; }

 private:
  ~BenchEngine() = default;

  void Heartbeat() {
    std::unique_lock<std::mutex> hold(mu_);
    while (!stop_) {
      IMsgLogicSink* sink = sink_;
      hold.unlock();
      if (sink != nullptr) sink->OnActivity();
      hold.lock();
      cv_.wait_for(hold, std::chrono::milliseconds(250), [this] { return stop_; });
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  IMsgLogicSink* sink_ = nullptr;
  std::thread heartbeat_;
};

// The real environment, with BenchEngine and one saved login (user 100,
// logged in by id) answered from memory instead of the login file.
class BenchEnv final : public EnvWrapper {
 public:
  BenchEnv() : EnvWrapper(Env::Default()) {}

  IMsgLogic* CreateMsgLogic() override { return new BenchEngine; }
  uint32_t FileAttributes(const char*) override { return kFileAttributeNormal; }
  uint32_t ProfileSection(const char*, char* buffer, uint32_t size,
                          const char*) override {
    static const char kSection[] = "id1=100\0flag1=1\0";  // and the final NUL
    if (size < sizeof kSection) return 0;
    std::memcpy(buffer, kSection, sizeof kSection);
    return sizeof kSection - 1;
  }
  uint32_t ProfileString(const char*, const char* key, const char* default_value,
                         char* buffer, uint32_t size, const char*) override {
    const char* value = std::strcmp(key, "flag1") == 0 ? "1"
                        : std::strcmp(key, "id1") == 0 ? "100"
                                                       : default_value;
    if (size == 0) return 0;
    std::snprintf(buffer, size, "%s", value);
    return static_cast<uint32_t>(std::strlen(buffer));
  }
};

Env* TheBenchEnv() {
  static Env* env = new BenchEnv;  // never destroyed: workers may outlive agents
  return env;
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "bench agent: %s\n", what);
  std::abort();
}

}  // namespace

EngineCounters& Counters() {
  static EngineCounters counters;
  return counters;
}

void* NullHost::GetInterface(int32_t id) {
  return id == MSG_IID_LOGICEX_CALLBACK ? static_cast<IMsgLogicExCallback*>(this) : nullptr;
}

int32_t NullHost::OnFriendList(int32_t flag, const FriendInfo* friends) {
  uint64_t touched = 1;
  if (flag == 1 && friends != nullptr) touched += static_cast<uint32_t>(friends[0].nUserId) & 1;
  friend_lists.fetch_add(touched, std::memory_order_relaxed);
  return 0;
}

int32_t NullHost::OnConnectionLost() {
  connection_losses.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

BenchAgent::BenchAgent() {
  CMsgLogicAgent* agent = CMsgLogicAgent::Create(TheBenchEnv());
  if (agent == nullptr) Fail("no agent");
  agent_ = agent;
  agent_->SetCallback(&host_, MSG_IID_LOGICEX_CALLBACK);
  if (agent_->Connect(kUserId, 0) != 0) Fail("the login failed");
  sink_ = AgentPeer(agent_).sink();
}

BenchAgent::~BenchAgent() {
  agent_->Release();
  if (host_.connection_losses.load() != 0) Fail("the connection was lost during a benchmark");
}

}  // namespace bench
}  // namespace msglogic
