// Thread stress: many agents at once, in real time on real threads, each
// with a fake engine whose threads fire events with valid records through
// the sink, while host threads call every command, a chaos thread reports
// losses, logs in again and flushes queued texts, and hosts release agents
// from inside their callbacks and make new ones.
//
// Hosts also log in again from inside OnConnectionLost, and log in while a
// loss is being reported on another thread, each time as another of four
// users. The engine reports the own id of the user logged in, and every
// text a host sends carries the number of the login it was sent in.
//
// Passes when it ends: no ThreadSanitizer report (the tsan preset halts on
// the first), no lock nested outside the agent's order, no engine call
// after the engine's Release, no callback to a host after its Release
// returned, no engine call of one login that carries another login's own
// id or text, every result within its documented set, and every agent and
// engine gone at the end. A watchdog aborts the run when the progress
// counters stop moving (a deadlock).
//
// Runs for about a minute under ThreadSanitizer and a few seconds elsewhere;
// MSGLOGIC_STRESS_SECONDS overrides.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/msg_logic_agent.h"
#include "tests/support/agent_peer.h"
#include "tests/support/records.h"
#include "tests/support/temp_dir.h"

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MSGLOGIC_STRESS_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define MSGLOGIC_STRESS_TSAN 1
#endif

namespace msglogic {
namespace testing {
namespace {

constexpr int kAgents = 8;
constexpr int kEngineThreads = 4;
constexpr int kHostThreads = 3;
constexpr auto kWatchdogLimit = std::chrono::seconds(20);

int RunSeconds() {
  if (const char* s = std::getenv("MSGLOGIC_STRESS_SECONDS")) return std::max(1, std::atoi(s));
#if defined(MSGLOGIC_STRESS_TSAN)
  return 60;
#else
  return 8;
#endif
}

// What went wrong, counted; the test fails on any.
struct Problems {
  std::atomic<int> lock_order{0};
  std::atomic<int> engine_after_release{0};
  std::atomic<int> late_callbacks{0};
  std::atomic<int> bad_results{0};
  std::atomic<int> other_session{0};
  std::mutex mu;
  std::vector<std::string> first;  // the first few, described

  void Note(std::atomic<int>* counter, const std::string& what) {
    if (counter->fetch_add(1) < 3) {
      std::lock_guard<std::mutex> hold(mu);
      first.push_back(what);
    }
  }
};
Problems g_problems;

// Progress, for the watchdog and the summary.
std::atomic<uint64_t> g_sink_calls{0};
std::atomic<uint64_t> g_commands{0};
std::atomic<uint64_t> g_callbacks{0};
std::atomic<uint64_t> g_releases{0};
std::atomic<uint64_t> g_releases_in_callback{0};
std::atomic<uint64_t> g_losses{0};
std::atomic<uint64_t> g_logins_in_callback{0};
std::atomic<uint64_t> g_checked_sends{0};

// --- Locks that check the agent's order (real recursive mutexes) ---

struct Held {
  const void* lock;
  const char* name;
};
// Plain data, with no destructor to run at thread exit: with MinGW-w64's
// thread_local (emulated TLS and winpthreads) the destructor of a
// thread_local object can run after its storage has been freed, which
// corrupts the heap of every thread that ends (the agents' workers end at
// every release).
struct HeldLocks {
  static constexpr size_t kCapacity = 64;
  Held items[kCapacity];
  size_t count = 0;
  const Held* begin() const { return items; }
  const Held* end() const { return items + count; }
};
thread_local HeldLocks t_held;

bool Allowed(const char* outer, const char* inner) {
  static const char* const kPairs[][2] = {{"m_csKeepAlive", "m_csMsgLogic"},
                                          {"m_csFriend", "m_csFriendValue"},
                                          {"m_csPendingText", "m_csMsgLogic"}};
  for (const auto& p : kPairs) {
    if (std::strcmp(outer, p[0]) == 0 && std::strcmp(inner, p[1]) == 0) return true;
  }
  return false;
}

std::atomic<int> g_live_locks{0};

class OrderedLock final : public Lock {
 public:
  explicit OrderedLock(const char* name) : name_(name) { g_live_locks.fetch_add(1); }
  ~OrderedLock() override { g_live_locks.fetch_sub(1); }
  void Enter() override {
    bool again = false;
    for (const Held& h : t_held) again |= h.lock == this;
    if (!again) {
      for (const Held& h : t_held) {
        if (!Allowed(h.name, name_)) {
          g_problems.Note(&g_problems.lock_order, std::string(h.name) + " -> " + name_);
        }
      }
    }
    mu_.lock();
    if (t_held.count == HeldLocks::kCapacity) {
      g_problems.Note(&g_problems.lock_order, std::string("too deep: ") + name_);
      return;
    }
    t_held.items[t_held.count++] = {this, name_};
  }
  void Leave() override {
    for (size_t i = t_held.count; i-- > 0;) {
      if (t_held.items[i].lock == this) {
        for (size_t j = i; j + 1 < t_held.count; ++j) t_held.items[j] = t_held.items[j + 1];
        --t_held.count;
        break;
      }
    }
    mu_.unlock();
  }

 private:
  const char* const name_;
  std::recursive_mutex mu_;
};

// --- The fake engine ---

// What the logins of one slot share, whichever engine object made them:
// the user logged in last and the number of logins. The engine reports the
// own id of `user`, under `mu`, which a login takes too: so an own id is
// never reported for one login once the next has been accepted.
struct LoginState {
  std::mutex mu;
  std::atomic<int32_t> user{-1};
  std::atomic<uint32_t> logins{0};
};

// Shared by an engine object and the engine threads that fire its events.
struct EngineState {
  std::mutex mu;
  std::condition_variable cv;
  bool alive = false;  // between SetSink and Release
  IMsgLogicSink* sink = nullptr;
  int in_calls = 0;    // sink calls under way
  LoginState* login = nullptr;
};

// The engine whose sink call the thread is making, if any.
thread_local EngineState* t_firing = nullptr;

std::atomic<int> g_live_engines{0};

// Keeps the engine contract: once Release has returned no sink call is under
// way or begins, except on the thread that calls it from inside one.
class StressEngine final : public IMsgLogic {
 public:
  explicit StressEngine(std::shared_ptr<EngineState> state) : st_(std::move(state)) {
    g_live_engines.fetch_add(1);
  }
  int32_t SetSink(IMsgLogicSink* sink) override {
    std::lock_guard<std::mutex> hold(st_->mu);
    st_->sink = sink;
    st_->alive = true;
    return 0;
  }
  int32_t LoginByName(const char*, int32_t) override { return Call(); }
  int32_t LoginById(int32_t userId, int32_t) override {
    std::lock_guard<std::mutex> hold(st_->login->mu);
    st_->login->user.store(userId);
    st_->login->logins.fetch_add(1);
    return Call();
  }
  int32_t Release() override {
    {
      std::unique_lock<std::mutex> hold(st_->mu);
      st_->alive = false;
      const int own = t_firing == st_.get() ? 1 : 0;
      st_->cv.wait(hold, [&] { return st_->in_calls == own; });
    }
    g_live_engines.fetch_sub(1);
    delete this;
    return 0;
  }
  int32_t SendText(int32_t, int32_t one, int32_t self, int32_t, const char* text) override {
    if (one != 1 || text == nullptr) g_problems.Note(&g_problems.bad_results, "SendText arguments");
    CheckSelf(self, "SendText");
    // A text carries the number of the login it was sent in: "t<n>".
    if (text != nullptr && text[0] == 't') {
      g_checked_sends.fetch_add(1);
      const uint32_t sent_in = static_cast<uint32_t>(std::strtoul(text + 1, nullptr, 10));
      if (sent_in != st_->login->logins.load()) {
        g_problems.Note(&g_problems.other_session,
                        "SendText of login " + std::to_string(st_->login->logins.load()) +
                            " carries a text of login " + std::to_string(sent_in));
      }
    }
    return Call();
  }
  int32_t SetUserId(int32_t) override { return Call(); }
  int32_t RequestUserInfo(int32_t) override { return Call(); }
  int32_t ContactUser(int32_t, int32_t, int32_t self) override {
    CheckSelf(self, "ContactUser");
    return Call();
  }
  int32_t Start() override { return Call(); }
  int32_t RequestA(int32_t) override { return Call(); }
  int32_t RequestB(int32_t) override { return Call(); }
  int32_t SendRoomInfo(uint32_t count, const void* packed) override {
    // Touch the whole buffer the engine may read.
    uint32_t sum = 0;
    for (size_t i = 0; i < size_t{count} * 176; ++i) sum += static_cast<const uint8_t*>(packed)[i];
    checksum_.fetch_add(sum, std::memory_order_relaxed);
    return Call();
  }
  int32_t RequestC() override { return Call(); }
  int32_t KeepAlive() override { return Call(); }
  int32_t GetFriendList() override { return Call(); }

 private:
  ~StressEngine() = default;
  int32_t Call() {
    std::lock_guard<std::mutex> hold(st_->mu);
    if (!st_->alive && st_->sink != nullptr) {
      g_problems.Note(&g_problems.engine_after_release, "engine called after its Release");
    }
    return 2;  // logins succeed; other results are ignored
  }
  // The own id in an engine call is the one reported for the login the
  // call is made in, or -1 (none reported yet).
  void CheckSelf(int32_t self, const char* call) {
    const int32_t user = st_->login->user.load();
    if (self != -1 && self != user) {
      g_problems.Note(&g_problems.other_session, std::string(call) + " of user " +
                                                     std::to_string(user) + " carries own id " +
                                                     std::to_string(self));
    }
  }
  const std::shared_ptr<EngineState> st_;
  static std::atomic<uint32_t> checksum_;
};
std::atomic<uint32_t> StressEngine::checksum_{0};

// --- One agent slot: the agent a host currently has, its engine, its host ---

class Slot;
uint32_t Rand(uint32_t n);
void CheckRange(int32_t result, int32_t lo, int32_t hi, const char* what);

class StressHost final : public IMsgLogicExCallback {
 public:
  explicit StressHost(Slot* slot) : slot_(slot) {}
  void* GetInterface(int32_t id) override {
    return id == MSG_IID_LOGICEX_CALLBACK ? static_cast<IMsgLogicExCallback*>(this) : nullptr;
  }
  int32_t OnFriendList(int32_t flag, const FriendInfo* friends) override;
  int32_t OnEventA(int32_t, const char* text) override {
    Touch(text);
    return Seen();
  }
  int32_t OnUserList(int32_t count, const UserEntry* users) override {
    for (int32_t i = 0; i < count; ++i) Touch(users[i].pszName);
    return Seen();
  }
  int32_t OnUserData(int32_t, int32_t kind, const void* data) override {
    if (kind == 0) Touch(static_cast<const char*>(data));
    if (kind == 1) Touch((*static_cast<const FriendInfo* const*>(data))->szName);
    return Seen();
  }
  int32_t OnEventB(int32_t value) override;
  int32_t OnEventC() override { return Seen(); }
  int32_t OnEventD(int32_t, int32_t, int32_t) override { return Seen(); }
  int32_t OnConnectionLost() override;

  // Set once the host's Release of this generation's agent has returned.
  std::atomic<bool> released{false};

 private:
  int32_t Seen() {
    g_callbacks.fetch_add(1);
    if (released.load()) g_problems.Note(&g_problems.late_callbacks, "callback after Release returned");
    return 0;
  }
  static void Touch(const char* text) {
    volatile size_t n = text != nullptr ? std::strlen(text) : 0;
    (void)n;
  }
  Slot* const slot_;
};

// The env of one slot: the real one, with its login folder, its engines and
// order-checking locks.
class SlotEnv final : public EnvWrapper {
 public:
  SlotEnv(Slot* slot, std::string dir) : EnvWrapper(Env::Default()), slot_(slot), dir_(std::move(dir)) {}
  Lock* NewLock(const char* name) override { return new (std::nothrow) OrderedLock(name); }
  uint32_t FileAttributes(const char* path) override { return target()->FileAttributes(Map(path).c_str()); }
  uint32_t ProfileSection(const char* section, char* buffer, uint32_t size, const char* path) override {
    return target()->ProfileSection(section, buffer, size, Map(path).c_str());
  }
  uint32_t ProfileString(const char* section, const char* key, const char* def, char* buffer,
                         uint32_t size, const char* path) override {
    return target()->ProfileString(section, key, def, buffer, size, Map(path).c_str());
  }
  void DebugOutput(const char*) override {}
  void ShowMessageBox(const char*) override {}
  IMsgLogic* CreateMsgLogic() override;

 private:
  std::string Map(const char* path) const {
    std::string p(path);
    if (p.size() > 2 && p[0] == '.' && (p[1] == '\\' || p[1] == '/')) p = dir_ + "/" + p.substr(2);
    std::replace(p.begin(), p.end(), '\\', '/');
    return p;
  }
  Slot* const slot_;
  const std::string dir_;
};

class Slot {
 public:
  explicit Slot(const std::string& dir) : env_(this, dir) {}

  // Makes a new agent (with a new host object) unless the slot has one.
  // Not while the slot's last agent is still being released: the engines of
  // one slot share its login record, so a new agent's login would make the
  // old agent's last engine calls look like another session's.
  void Renew() {
    std::unique_lock<std::shared_mutex> hold(use_);
    if (current_.load() != nullptr || releasing_.load() != 0) return;
    CMsgLogicAgent* agent = CMsgLogicAgent::Create(&env_);
    if (agent == nullptr) return;
    generations_.push_back(std::make_unique<Generation>());
    Generation* g = generations_.back().get();
    g->agent = agent;
    g->host = std::make_unique<StressHost>(this);
    agent->SetCallback(g->host.get(), MSG_IID_LOGICEX_CALLBACK);
    current_.store(g);
  }

  // Releases the slot's agent unless someone else is doing it; the first to
  // take it does. Host commands in flight finish first.
  void ReleaseAgent() {
    releasing_.fetch_add(1);
    if (Generation* g = current_.exchange(nullptr)) {
      std::unique_lock<std::shared_mutex> hold(use_);
      g->agent->Release();
      g->host->released.store(true);
      g_releases.fetch_add(1);
    }
    releasing_.fetch_sub(1);
  }

  // Runs use(agent, host) on the slot's agent, if it has one, so that it
  // cannot be released meanwhile. With `try_only` (from inside a callback)
  // it gives up instead of waiting.
  template <typename Use>
  void WithAgent(Use use, bool try_only = false) {
    std::shared_lock<std::shared_mutex> hold(use_, std::defer_lock);
    if (try_only) {
      if (!hold.try_lock()) return;
    } else {
      hold.lock();
    }
    if (Generation* g = current_.load()) use(g->agent, g->host.get());
  }

  // Runs `fire` with the sink of the slot's live engine, as one of the
  // engine's own sink calls (its Release waits for it).
  template <typename Fire>
  void WithEngine(Fire fire) {
    std::shared_ptr<EngineState> st;
    {
      std::lock_guard<std::mutex> hold(engine_mu_);
      st = engine_;
    }
    if (st == nullptr) return;
    IMsgLogicSink* sink;
    {
      std::lock_guard<std::mutex> hold(st->mu);
      if (!st->alive) return;
      sink = st->sink;
      ++st->in_calls;
    }
    EngineState* outer = t_firing;
    t_firing = st.get();
    fire(sink);
    t_firing = outer;
    {
      std::lock_guard<std::mutex> hold(st->mu);
      --st->in_calls;
      st->cv.notify_all();
    }
    g_sink_calls.fetch_add(1);
  }

  // The engine reports the own id of the user logged in last.
  void ReportSelfId() {
    std::lock_guard<std::mutex> hold(login_.mu);
    const int32_t user = login_.user.load();
    if (user == -1) return;
    WithEngine([user](IMsgLogicSink* sink) { sink->OnSelfId(&user); });
  }

  // Logs in one of the four users; a host sends texts only between logins
  // (texts carry the number of their login). From inside a callback it
  // gives up rather than wait.
  void Login(bool from_callback) {
    WithAgent(
        [this, from_callback](CMsgLogicAgent* agent, StressHost*) {
          std::unique_lock<std::shared_mutex> texts(texts_, std::defer_lock);
          if (from_callback) {
            if (!texts.try_lock()) return;
          } else {
            texts.lock();
          }
          CheckRange(agent->Connect(100 + static_cast<int32_t>(Rand(4)), 0), 0, 2, "Connect");
        },
        from_callback);
  }

  // Sends a text that carries the number of the login it is sent in.
  void SendTaggedText(CMsgLogicAgent* agent, int32_t to) {
    std::shared_lock<std::shared_mutex> texts(texts_);
    const std::string text = "t" + std::to_string(login_.logins.load());
    CheckRange(agent->SendText(to, text.c_str()), -1, 1, "SendText");
  }

  // Called inside Connect.
  IMsgLogic* NewEngine() {
    auto st = std::make_shared<EngineState>();
    st->login = &login_;
    {
      std::lock_guard<std::mutex> hold(engine_mu_);
      engine_ = st;
    }
    return new StressEngine(st);
  }

 private:
  struct Generation {
    CMsgLogicAgent* agent = nullptr;
    std::unique_ptr<StressHost> host;  // kept: a late callback must find it
  };

  SlotEnv env_;
  std::shared_mutex use_;
  std::atomic<Generation*> current_{nullptr};
  std::atomic<int> releasing_{0};  // ReleaseAgent calls under way
  std::vector<std::unique_ptr<Generation>> generations_;
  std::mutex engine_mu_;
  std::shared_ptr<EngineState> engine_;
  LoginState login_;
  std::shared_mutex texts_;  // shared: a text being sent; exclusive: a login
};

IMsgLogic* SlotEnv::CreateMsgLogic() { return slot_->NewEngine(); }

// Each thread's random numbers: the stress threads seed theirs; the agent's
// workers, calling back, get one of their own.
thread_local std::mt19937* t_rng = nullptr;
uint32_t Rand(uint32_t n) {
  if (t_rng == nullptr) {
    thread_local std::mt19937 own(static_cast<uint32_t>(
        std::hash<std::thread::id>()(std::this_thread::get_id())));
    t_rng = &own;
  }
  return (*t_rng)() % n;
}

int32_t StressHost::OnFriendList(int32_t flag, const FriendInfo* friends) {
  if (flag == 1) Touch(friends[0].szDisplayName);
  return Seen();
}

int32_t StressHost::OnEventB(int32_t value) {
  Seen();
  // Now and then the host lets the agent go from inside the callback.
  if (value % 97 == 0) {
    g_releases_in_callback.fetch_add(1);
    slot_->ReleaseAgent();
  } else if (value % 13 == 0) {
    slot_->WithAgent([](CMsgLogicAgent* agent, StressHost*) { agent->GetFriendList(); },
                    /*try_only=*/true);
  }
  return 0;
}

int32_t StressHost::OnConnectionLost() {
  Seen();
  g_losses.fetch_add(1);
  if (Rand(4) == 0) {
    g_releases_in_callback.fetch_add(1);
    slot_->ReleaseAgent();
  } else if (Rand(3) != 0) {
    // An auto-reconnecting host: logs in again at once, maybe as another user.
    g_logins_in_callback.fetch_add(1);
    slot_->Login(/*from_callback=*/true);
  }
  return 0;
}

// --- The threads ---

Bytes RandomEvent(int* kind) {
  *kind = static_cast<int>(Rand(12));
  const int32_t id = static_cast<int32_t>(Rand(16));
  switch (*kind) {
    case 0:
      return ValueList({{id, 1}, {id + 1, 2}, {static_cast<int32_t>(Rand(16)), 3}});
    case 1: {
      FriendSpec a{id, 5, 0, 0, 0, static_cast<uint8_t>(Rand(4)), "a" + kZhongUtf8, "", "long"};
      FriendSpec b{id + 1, 6, 0, 0, 0, 1, "b", "B", ""};
      return FriendList({a, b});
    }
    case 2:
    case 3:
      return FriendRecord({id, 7, 1, 2, 3, static_cast<uint8_t>(Rand(4)), kWenUtf8, "d", "t"});
    case 4:
      return UserList({{id, 1, "u" + kZhongUtf8}, {id + 1, 0, "x"}});
    case 5:
      return TextRecord(1, "text " + std::to_string(id));
    case 6:
      return Bytes().I32(id).Fill(18).Text("event a").U8(0);
    case 7:
      return Bytes().I32(id).I32(-id).I32(id * 2);
    case 8:
      return Bytes().I32(id).I32(static_cast<int32_t>(Rand(100)));  // user info
    default:
      return Bytes().I32(static_cast<int32_t>(Rand(1000)));
  }
}

void EngineThread(std::vector<std::unique_ptr<Slot>>* slots, const std::atomic<bool>* stop, int seed) {
  std::mt19937 rng(seed);
  t_rng = &rng;
  while (!stop->load()) {
    Slot& slot = *(*slots)[Rand(kAgents)];
    int kind;
    const Bytes record = RandomEvent(&kind);
    auto exact = record.Exact();
    const void* p = exact.get();
    slot.WithEngine([&](IMsgLogicSink* sink) {
      switch (kind) {
        case 0:
          if (sink->OnFriendValues(p) != 3) g_problems.Note(&g_problems.bad_results, "OnFriendValues");
          break;
        case 1: sink->OnFriendList(p); break;
        case 2: sink->OnFriendUpdate(p); break;
        case 3: sink->OnFriendInfo(p); break;
        case 4: sink->OnUserList(p); break;
        case 5: sink->OnUserText(static_cast<int32_t>(Rand(16)), p); break;
        case 6: sink->OnEventA(p); break;
        case 7: sink->OnEventD(p); break;
        case 8:
          if (sink->OnUserInfo(p) != 1) g_problems.Note(&g_problems.bad_results, "OnUserInfo");
          break;
        case 9: break;  // below
        case 10: sink->OnEventB(*static_cast<const int32_t*>(p)); break;
        default:
          sink->OnActivity();
          sink->OnEventC();
          break;
      }
    });
    if (kind == 9) slot.ReportSelfId();
  }
}

void CheckRange(int32_t result, int32_t lo, int32_t hi, const char* what) {
  if (result < lo || result > hi) g_problems.Note(&g_problems.bad_results, what);
}

void HostThread(std::vector<std::unique_ptr<Slot>>* slots, const std::atomic<bool>* stop, int seed) {
  std::mt19937 rng(seed);
  t_rng = &rng;
  RoomInfo rooms[2] = {};
  std::strcpy(rooms[0].szText1, "hall");
  std::memcpy(rooms[1].szText2, "\xD6\xD0", 2);
  while (!stop->load()) {
    Slot& slot = *(*slots)[Rand(kAgents)];
    const uint32_t what = Rand(12);
    if (what == 11) {
      if (Rand(8) == 0) slot.ReleaseAgent();
      slot.Renew();
      g_commands.fetch_add(1);
      continue;
    }
    const int32_t id = static_cast<int32_t>(Rand(16));
    if (what == 0) {
      slot.Login(/*from_callback=*/false);
      g_commands.fetch_add(1);
      continue;
    }
    slot.WithAgent([&](CMsgLogicAgent* agent, StressHost* host) {
      switch (what) {
        case 0: break;  // below
        case 1: slot.SendTaggedText(agent, id); break;
        case 2: CheckRange(agent->ContactUser(id), -1, 0, "ContactUser"); break;
        case 3: CheckRange(agent->ForwardRequestA(id), -1, 0, "ForwardRequestA"); break;
        case 4: CheckRange(agent->ForwardRequestB(id), -1, 0, "ForwardRequestB"); break;
        case 5: CheckRange(agent->ForwardRequestC(), -1, 0, "ForwardRequestC"); break;
        case 6: CheckRange(agent->GetFriendList(), -1, 0, "GetFriendList"); break;
        case 7: CheckRange(agent->SendRoomInfo(2, rooms), -1, 0, "SendRoomInfo"); break;
        case 8: agent->SetCallback(host, MSG_IID_LOGICEX_CALLBACK); break;
        case 9: CheckRange(agent->SendText(id, nullptr), -1, 1, "SendText(null)"); break;
        default: agent->GetInterface(MSG_IID_LOGICEX); break;
      }
    });
    g_commands.fetch_add(1);
  }
}

// Losses, logins and answers that flush queued texts.
void ChaosThread(std::vector<std::unique_ptr<Slot>>* slots, const std::atomic<bool>* stop, int seed) {
  std::mt19937 rng(seed);
  t_rng = &rng;
  while (!stop->load()) {
    Slot& slot = *(*slots)[Rand(kAgents)];
    switch (Rand(5)) {
      case 0:
        slot.WithEngine([](IMsgLogicSink* sink) { sink->OnDisconnect(); });
        break;
      case 1:
        slot.Login(/*from_callback=*/false);
        break;
      case 4: {
        // A login racing a loss reported on another thread.
        std::thread loss([&slot] {
          slot.WithEngine([](IMsgLogicSink* sink) { sink->OnDisconnect(); });
        });
        slot.Login(/*from_callback=*/false);
        slot.ReportSelfId();
        loss.join();
        break;
      }
      case 2:
        for (int32_t id = 0; id < 16; ++id) {
          const int32_t record[2] = {id, id};
          slot.WithEngine([&](IMsgLogicSink* sink) { sink->OnUserInfo(record); });
        }
        break;
      default:
        slot.ReleaseAgent();
        slot.Renew();
        break;
    }
    g_commands.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

TEST(ThreadStress, ManyAgentsUnderEveryKindOfThreadAtOnce) {
  TempDir dir;
  dir.Write("KWPMsg/loginInfo.ini",
            "[loginInfo]\r\nid1=100\r\nflag1=1\r\nid2=101\r\nflag2=1\r\n"
            "id3=102\r\nflag3=1\r\nid4=103\r\nflag4=1\r\n");
  std::vector<std::unique_ptr<Slot>> slots;
  for (int i = 0; i < kAgents; ++i) slots.push_back(std::make_unique<Slot>(dir.path()));
  for (auto& slot : slots) {
    slot->Renew();
    slot->WithAgent([](CMsgLogicAgent* agent, StressHost*) { EXPECT_EQ(agent->Connect(100, 0), 0); });
  }

  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < kEngineThreads; ++i) threads.emplace_back(EngineThread, &slots, &stop, 100 + i);
  for (int i = 0; i < kHostThreads; ++i) threads.emplace_back(HostThread, &slots, &stop, 200 + i);
  threads.emplace_back(ChaosThread, &slots, &stop, 300);

  // The watchdog: progress must go on until the end, and the end must come.
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::seconds(RunSeconds());
  uint64_t last = 0;
  auto last_change = start;
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const uint64_t progress = g_sink_calls.load() + g_commands.load();
    const auto now = std::chrono::steady_clock::now();
    if (progress != last) {
      last = progress;
      last_change = now;
    } else if (now - last_change > kWatchdogLimit) {
      std::fprintf(stderr,
                   "stress watchdog: no progress for %lld s (sink calls %llu, commands %llu): "
                   "deadlock\n",
                   static_cast<long long>(kWatchdogLimit.count()),
                   static_cast<unsigned long long>(g_sink_calls.load()),
                   static_cast<unsigned long long>(g_commands.load()));
      std::abort();
    }
  }
  stop.store(true);
  // The threads must end too; a deadlocked one never would.
  std::atomic<bool> joined{false};
  std::thread guard([&] {
    const auto limit = std::chrono::steady_clock::now() + kWatchdogLimit;
    while (!joined.load()) {
      if (std::chrono::steady_clock::now() > limit) {
        std::fprintf(stderr, "stress watchdog: threads did not end after the run: deadlock\n");
        std::abort();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  for (auto& t : threads) t.join();
  joined.store(true);
  guard.join();

  for (auto& slot : slots) slot->ReleaseAgent();
  // Workers end within one pass after Release; then every agent is freed.
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while ((g_live_locks.load() != 0 || g_live_engines.load() != 0) &&
         std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }

  std::printf("stress: %d s, %llu sink calls, %llu commands, %llu callbacks, %llu losses "
              "(%llu logins from inside them), %llu texts checked, "
              "%llu releases (%llu from callbacks)\n",
              RunSeconds(), static_cast<unsigned long long>(g_sink_calls.load()),
              static_cast<unsigned long long>(g_commands.load()),
              static_cast<unsigned long long>(g_callbacks.load()),
              static_cast<unsigned long long>(g_losses.load()),
              static_cast<unsigned long long>(g_logins_in_callback.load()),
              static_cast<unsigned long long>(g_checked_sends.load()),
              static_cast<unsigned long long>(g_releases.load()),
              static_cast<unsigned long long>(g_releases_in_callback.load()));
  for (const std::string& what : g_problems.first) std::printf("  problem: %s\n", what.c_str());
  EXPECT_EQ(g_live_locks.load(), 0) << "agents never freed";
  EXPECT_EQ(g_live_engines.load(), 0) << "engines never released";
  EXPECT_EQ(g_problems.lock_order.load(), 0);
  EXPECT_EQ(g_problems.engine_after_release.load(), 0);
  EXPECT_EQ(g_problems.late_callbacks.load(), 0);
  EXPECT_EQ(g_problems.bad_results.load(), 0);
  EXPECT_EQ(g_problems.other_session.load(), 0);
  EXPECT_GT(g_checked_sends.load(), 0u);
  EXPECT_GT(g_logins_in_callback.load(), 0u);
  EXPECT_GT(g_sink_calls.load(), 0u);
  EXPECT_GT(g_releases_in_callback.load(), 0u);
}

}  // namespace
}  // namespace testing
}  // namespace msglogic
