// LockHookEnv: a FakeEnv whose locks can run a hook just before a thread
// enters one, and tell who is waiting for one: a test stops a thread at a
// chosen lock boundary (and lets others run meanwhile) instead of hoping
// that the scheduler does.
#ifndef MSGLOGIC_TESTS_SUPPORT_LOCK_HOOK_ENV_H_
#define MSGLOGIC_TESTS_SUPPORT_LOCK_HOOK_ENV_H_

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "tests/support/fake_env.h"

namespace msglogic {
namespace testing {

class LockHookEnv : public FakeEnv {
 public:
  // Runs `hook` once, on the next thread about to enter the lock named
  // `name`, before it enters (holding whatever it holds).
  void BeforeEnter(const std::string& name, std::function<void()> hook) {
    std::lock_guard<std::mutex> hold(mu_);
    hooks_[name] = std::move(hook);
  }
  // Threads blocked entering the lock named `name`.
  int Waiting(const std::string& name) {
    std::lock_guard<std::mutex> hold(mu_);
    return waiting_[name];
  }

  // Holds of the lock named `name` not yet left, on every thread.
  int Held(const std::string& name) {
    std::lock_guard<std::mutex> hold(mu_);
    return held_[name];
  }

  Lock* NewLock(const char* name) override {
    return new HookedLock(this, FakeEnv::NewLock(name), name);
  }

 private:
  class HookedLock final : public Lock {
   public:
    HookedLock(LockHookEnv* env, Lock* inner, std::string name)
        : env_(env), inner_(inner), name_(std::move(name)) {}
    ~HookedLock() override { delete inner_; }
    void Enter() override {
      env_->RunHook(name_);
      env_->CountWaiting(name_, +1);
      inner_->Enter();
      env_->CountWaiting(name_, -1);
      env_->CountHeld(name_, +1);
    }
    void Leave() override {
      env_->CountHeld(name_, -1);
      inner_->Leave();
    }

   private:
    LockHookEnv* const env_;
    Lock* const inner_;
    const std::string name_;
  };

  void RunHook(const std::string& name) {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> hold(mu_);
      auto it = hooks_.find(name);
      if (it == hooks_.end()) return;
      hook = std::move(it->second);
      hooks_.erase(it);
    }
    hook();
  }
  void CountWaiting(const std::string& name, int delta) {
    std::lock_guard<std::mutex> hold(mu_);
    waiting_[name] += delta;
  }

  void CountHeld(const std::string& name, int delta) {
    std::lock_guard<std::mutex> hold(mu_);
    held_[name] += delta;
  }

  std::mutex mu_;
  std::map<std::string, std::function<void()>> hooks_;
  std::map<std::string, int> waiting_;
  std::map<std::string, int> held_;
};

}  // namespace testing
}  // namespace msglogic

#endif  // MSGLOGIC_TESTS_SUPPORT_LOCK_HOOK_ENV_H_
