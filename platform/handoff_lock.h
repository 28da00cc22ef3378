// The recursive lock behind Env::NewLock on every system, over the system's
// own recursive mutex.
//
// The agent's locks are held briefly and, on an engine thread caching a
// friend list, taken again at once record after record. A plain mutex lets
// that thread take the lock back before a host thread waiting for it ever
// gets it: the host's call would wait for most of the list. So this lock
// takes turns under contention:
//  - Enter spins for a bounded while (a few microseconds, as a Windows
//    critical section with a spin count does) before it sleeps on the mutex;
//  - a thread that comes back for the lock it was the last to leave, while
//    others wait for it, first lets one of them take it, waiting for that
//    for a bounded while.
// Both waits are bounded, so the mutex alone still decides who enters in
// the end; no thread is held up by another beyond the bound, and a thread
// that leaves the lock never waits.
#ifndef MSGLOGIC_PLATFORM_HANDOFF_LOCK_H_
#define MSGLOGIC_PLATFORM_HANDOFF_LOCK_H_

#include <atomic>
#include <cstdint>
#include <thread>

#include "platform/env.h"

namespace msglogic {

// Tells the processor that the calling thread is spinning.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// `Mutex` is a recursive mutex with try_lock(), lock() and unlock().
template <class Mutex>
class HandOffLock final : public Lock {
 public:
  // Rounds of try_lock before Enter sleeps on the mutex; rounds a returning
  // thread gives a waiter to take the lock.
  static constexpr int kEnterSpins = 200;
  static constexpr int kYieldSpins = 400;

  void Enter() override {
    const std::thread::id self = std::this_thread::get_id();
    if (last_leaver_.load(std::memory_order_relaxed) == self) {
      for (int round = 0; round < kYieldSpins &&
                          waiting_.load(std::memory_order_relaxed) != 0 &&
                          last_leaver_.load(std::memory_order_relaxed) == self;
           ++round) {
        CpuRelax();
      }
    }
    if (!mu_.try_lock()) {
      waiting_.fetch_add(1, std::memory_order_relaxed);
      int round = 0;
      while (round < kEnterSpins && !mu_.try_lock()) {
        CpuRelax();
        ++round;
      }
      if (round == kEnterSpins) mu_.lock();
      waiting_.fetch_sub(1, std::memory_order_relaxed);
    }
    // depth_ is the holder's alone: read and written with the mutex held.
    if (depth_++ == 0) last_leaver_.store(std::thread::id(), std::memory_order_relaxed);
  }

  void Leave() override {
    if (--depth_ == 0) {
      last_leaver_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    mu_.unlock();
  }

 private:
  Mutex mu_;
  // Threads inside Enter that do not have the lock yet.
  std::atomic<int32_t> waiting_{0};
  // The thread that last left the lock, until another takes it (a hint:
  // only the thread it names acts on it).
  std::atomic<std::thread::id> last_leaver_{};
  // How often the holder has entered; 0 when nobody holds the lock.
  uint32_t depth_ = 0;
};

}  // namespace msglogic

#endif  // MSGLOGIC_PLATFORM_HANDOFF_LOCK_H_
