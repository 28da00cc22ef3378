#include "tests/support/fake_env.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace msglogic {
namespace testing {
namespace {

// How long, in real time, tracked threads may take to settle before the
// test is declared stuck (a deadlock, or a thread blocked outside virtual
// time).
constexpr std::chrono::seconds kWatchdog(60);

// The FakeEnv whose thread this is, for threads it started.
thread_local FakeEnv* t_owner = nullptr;

// Locks the calling thread holds, innermost last (a lock entered again
// appears again).
struct HeldLock {
  const void* lock;
  const char* name;
};
// Plain data, with no destructor to run at thread exit: with MinGW-w64's
// thread_local (emulated TLS and winpthreads) the destructor of a
// thread_local object can run after its storage has been freed, which
// corrupts the heap of every thread that ends.
struct HeldLocks {
  static constexpr size_t kCapacity = 64;
  HeldLock items[kCapacity];
  size_t count = 0;
  const HeldLock* begin() const { return items; }
  const HeldLock* end() const { return items + count; }
};
thread_local HeldLocks t_held;

bool AllowedNesting(const char* outer, const char* inner) {
  static const char* const kPairs[][2] = {
      {"m_csKeepAlive", "m_csMsgLogic"},
      {"m_csFriend", "m_csFriendValue"},
      {"m_csPendingText", "m_csMsgLogic"},
  };
  for (const auto& pair : kPairs) {
    if (std::strcmp(outer, pair[0]) == 0 && std::strcmp(inner, pair[1]) == 0) return true;
  }
  return false;
}

[[noreturn]] void Stuck(const char* what) {
  std::fprintf(stderr, "FakeEnv watchdog: %s did not happen within %lld s\n", what,
               static_cast<long long>(kWatchdog.count()));
  std::abort();
}

}  // namespace

struct FakeEnv::Waiter {
  uint64_t deadline;
  const std::function<bool()>* done;
  bool tracked;
};

struct FakeEnv::ThreadState {
  std::thread thread;
  std::thread::id id;
  bool done = false;  // guarded by FakeEnv::mu_
};

class FakeEnv::FakeEvent final : public Event {
 public:
  explicit FakeEvent(FakeEnv* env) : env_(env) {}
  void Set() override {
    std::lock_guard<std::mutex> hold(env_->mu_);
    set_ = true;
    env_->cv_.notify_all();
  }
  bool Wait(uint32_t ms) override {
    std::unique_lock<std::mutex> hold(env_->mu_);
    return env_->VirtualWait(hold, ms, [this] { return set_; });
  }

 private:
  FakeEnv* const env_;
  bool set_ = false;  // guarded by env_->mu_
};

class FakeEnv::FakeThread final : public Thread {
 public:
  FakeThread(FakeEnv* env, std::shared_ptr<ThreadState> state)
      : env_(env), state_(std::move(state)) {}
  bool Join(uint32_t ms) override {
    std::unique_lock<std::mutex> hold(env_->mu_);
    return env_->VirtualWait(hold, ms, [this] { return state_->done; });
  }
  bool IsCurrent() const override { return std::this_thread::get_id() == state_->id; }

 private:
  FakeEnv* const env_;
  const std::shared_ptr<ThreadState> state_;
};

class FakeEnv::CheckedLock final : public Lock {
 public:
  CheckedLock(FakeEnv* env, const char* name) : env_(env), name_(name) {}
  void Enter() override {
    mu_.lock();
    env_->NoteLockEntered(this, name_);
  }
  void Leave() override {
    env_->NoteLockLeft(this);
    mu_.unlock();
  }

 private:
  FakeEnv* const env_;
  const char* const name_;
  std::recursive_mutex mu_;
};

FakeEnv::FakeEnv() : EnvWrapper(Env::Default()) {}

FakeEnv::~FakeEnv() {
  {
    std::unique_lock<std::mutex> hold(mu_);
    if (!cv_.wait_for(hold, kWatchdog, [this] { return running_ == 0; })) {
      Stuck("the end of every thread started by the test");
    }
  }
  for (auto& state : threads_) state->thread.join();
}

bool FakeEnv::VirtualWait(std::unique_lock<std::mutex>& hold, uint64_t ms,
                          const std::function<bool()>& done) {
  const uint64_t limit = UINT64_MAX / 2;
  Waiter waiter{now_ms_ + std::min<uint64_t>(ms, limit), &done, t_owner == this};
  waiters_.push_back(&waiter);
  cv_.notify_all();  // Advance/Settle may be waiting for this thread to wait
  cv_.wait(hold, [&] { return done() || now_ms_ >= waiter.deadline; });
  waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &waiter));
  return done();
}

bool FakeEnv::SettledLocked() {
  int waiting = 0;
  for (Waiter* w : waiters_) {
    if (w->tracked && w->deadline > now_ms_ && !(*w->done)()) ++waiting;
  }
  return waiting == running_;
}

void FakeEnv::WaitSettledLocked(std::unique_lock<std::mutex>& hold) {
  if (!cv_.wait_for(hold, kWatchdog, [this] { return SettledLocked(); })) {
    Stuck("a state where every tracked thread waits in virtual time");
  }
}

void FakeEnv::Advance(uint64_t ms) {
  std::unique_lock<std::mutex> hold(mu_);
  const uint64_t target = now_ms_ + ms;
  for (;;) {
    WaitSettledLocked(hold);
    if (now_ms_ >= target) return;
    uint64_t next = target;
    for (Waiter* w : waiters_) {
      if (w->deadline > now_ms_ && w->deadline < next) next = w->deadline;
    }
    now_ms_ = next;
    cv_.notify_all();
  }
}

void FakeEnv::Settle() {
  std::unique_lock<std::mutex> hold(mu_);
  WaitSettledLocked(hold);
}

uint64_t FakeEnv::NowMs() {
  std::lock_guard<std::mutex> hold(mu_);
  return now_ms_;
}

void FakeEnv::SetCalendar(int32_t seconds) {
  std::lock_guard<std::mutex> hold(mu_);
  calendar_origin_ = static_cast<int64_t>(seconds) - static_cast<int64_t>(now_ms_ / 1000);
}

bool FakeEnv::WaitFor(Event* event, uint64_t ms) { return event->Wait(static_cast<uint32_t>(std::min<uint64_t>(ms, UINT32_MAX))); }

int FakeEnv::RunningThreads() {
  std::lock_guard<std::mutex> hold(mu_);
  return running_;
}

void FakeEnv::FailThreadStarts(int count) {
  std::lock_guard<std::mutex> hold(mu_);
  fail_thread_starts_ = count;
}

int FakeEnv::ThreadsStarted() {
  std::lock_guard<std::mutex> hold(mu_);
  return threads_started_;
}

std::vector<std::string> FakeEnv::Traces() {
  std::lock_guard<std::mutex> hold(record_mu_);
  return traces_;
}

void FakeEnv::ClearTraces() {
  std::lock_guard<std::mutex> hold(record_mu_);
  traces_.clear();
}

std::vector<std::string> FakeEnv::MessageBoxes() {
  std::lock_guard<std::mutex> hold(record_mu_);
  return message_boxes_;
}

void FakeEnv::OnMessageBox(std::function<void(const std::string&)> hook) {
  std::lock_guard<std::mutex> hold(record_mu_);
  message_box_hook_ = std::move(hook);
}

std::vector<std::string> FakeEnv::LockOrderViolations() {
  std::lock_guard<std::mutex> hold(record_mu_);
  return lock_violations_;
}

void FakeEnv::SetWorkingDirectory(const std::string& dir) {
  std::lock_guard<std::mutex> hold(record_mu_);
  working_dir_ = dir;
}

void FakeEnv::SetEngineFactory(std::function<IMsgLogic*()> factory) {
  std::lock_guard<std::mutex> hold(record_mu_);
  engine_factory_ = std::move(factory);
}

int FakeEnv::EnginesCreated() {
  std::lock_guard<std::mutex> hold(record_mu_);
  return engines_created_;
}

void FakeEnv::OnTime(std::function<void()> hook) {
  std::lock_guard<std::mutex> hold(record_mu_);
  time_hook_ = std::move(hook);
}

int32_t FakeEnv::Time() {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> hold(record_mu_);
    hook = time_hook_;
  }
  if (hook) hook();
  std::lock_guard<std::mutex> hold(mu_);
  const int64_t seconds = calendar_origin_ + static_cast<int64_t>(now_ms_ / 1000);
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(seconds)));
}

void FakeEnv::SleepMs(uint32_t ms) {
  std::unique_lock<std::mutex> hold(mu_);
  VirtualWait(hold, ms, [] { return false; });
}

Lock* FakeEnv::NewLock(const char* name) { return new CheckedLock(this, name); }

Event* FakeEnv::NewEvent() { return new FakeEvent(this); }

Thread* FakeEnv::StartThread(void (*proc)(void*), void* arg) {
  std::lock_guard<std::mutex> hold(mu_);
  if (fail_thread_starts_ > 0) {
    --fail_thread_starts_;
    return nullptr;
  }
  auto state = std::make_shared<ThreadState>();
  ++running_;
  ++threads_started_;
  state->thread = std::thread([this, proc, arg, raw = state.get()] {
    t_owner = this;
    proc(arg);
    std::lock_guard<std::mutex> done(mu_);
    raw->done = true;
    --running_;
    cv_.notify_all();
  });
  state->id = state->thread.get_id();
  threads_.push_back(state);
  return new FakeThread(this, state);
}

void FakeEnv::DebugOutput(const char* text) {
  std::lock_guard<std::mutex> hold(record_mu_);
  traces_.emplace_back(text);
}

void FakeEnv::ShowMessageBox(const char* text) {
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard<std::mutex> hold(record_mu_);
    message_boxes_.emplace_back(text);
    hook = message_box_hook_;
  }
  if (hook) hook(text);
}

std::string FakeEnv::MapPath(const char* path) {
  std::lock_guard<std::mutex> hold(record_mu_);
  std::string p(path);
  if (working_dir_.empty() || p.size() < 2 || p[0] != '.' || (p[1] != '\\' && p[1] != '/')) {
    return p;
  }
  std::string rest = p.substr(2);
  std::replace(rest.begin(), rest.end(), '\\', '/');
  return working_dir_ + "/" + rest;
}

uint32_t FakeEnv::FileAttributes(const char* path) {
  return target()->FileAttributes(MapPath(path).c_str());
}

uint32_t FakeEnv::ProfileSection(const char* section, char* buffer, uint32_t size,
                                 const char* path) {
  return target()->ProfileSection(section, buffer, size, MapPath(path).c_str());
}

uint32_t FakeEnv::ProfileString(const char* section, const char* key,
                                const char* default_value, char* buffer, uint32_t size,
                                const char* path) {
  return target()->ProfileString(section, key, default_value, buffer, size,
                                 MapPath(path).c_str());
}

IMsgLogic* FakeEnv::CreateMsgLogic() {
  std::function<IMsgLogic*()> factory;
  {
    std::lock_guard<std::mutex> hold(record_mu_);
    factory = engine_factory_;
  }
  IMsgLogic* engine = factory ? factory() : nullptr;
  if (engine != nullptr) {
    std::lock_guard<std::mutex> hold(record_mu_);
    ++engines_created_;
  }
  return engine;
}

int FakeEnv::ModulePins() {
  std::lock_guard<std::mutex> hold(record_mu_);
  return module_pins_;
}

void FakeEnv::KeepModuleLoaded() {
  std::lock_guard<std::mutex> hold(record_mu_);
  ++module_pins_;
}

std::vector<std::string> FakeEnv::HeldLocks() {
  std::vector<std::string> names;
  for (const HeldLock& held : t_held) names.emplace_back(held.name);
  return names;
}

void FakeEnv::NoteLockEntered(const void* lock, const char* name) {
  bool recursive = false;
  for (const HeldLock& held : t_held) recursive |= held.lock == lock;
  if (!recursive) {
    for (const HeldLock& held : t_held) {
      if (held.lock != lock && !AllowedNesting(held.name, name)) {
        std::lock_guard<std::mutex> hold(record_mu_);
        lock_violations_.push_back(std::string(held.name) + " -> " + name);
      }
    }
  }
  if (t_held.count == HeldLocks::kCapacity) {
    // Far deeper than any lock order allows: reported, not tracked.
    std::lock_guard<std::mutex> hold(record_mu_);
    lock_violations_.push_back(std::string("too deep: ") + name);
    return;
  }
  t_held.items[t_held.count++] = {lock, name};
}

void FakeEnv::NoteLockLeft(const void* lock) {
  for (size_t i = t_held.count; i-- > 0;) {
    if (t_held.items[i].lock == lock) {
      for (size_t j = i; j + 1 < t_held.count; ++j) t_held.items[j] = t_held.items[j + 1];
      --t_held.count;
      return;
    }
  }
}

}  // namespace testing
}  // namespace msglogic
