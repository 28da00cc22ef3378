// FakeEnv: an Env for tests that runs the agent in virtual time.
//
//  - Time: a virtual clock in milliseconds that only Advance() moves. Time()
//    is the calendar second of that clock (SetCalendar sets its origin).
//    SleepMs, Event::Wait and Thread::Join wait in virtual time.
//  - Threads started through the env are real threads, tracked: Advance()
//    and Settle() return only once every tracked thread is waiting in
//    virtual time (or has ended), so each step of a test sees the workers'
//    passes complete. A tracked thread blocked anywhere else stops the
//    progress; a watchdog then fails the test instead of hanging.
//  - Locks are real recursive locks that check the agent's lock order: any
//    nesting other than the allowed pairs is recorded as a violation.
//  - Trace lines and message boxes are recorded; the engine factory, thread
//    start failures and the login file's location are set by the test.
#ifndef MSGLOGIC_TESTS_SUPPORT_FAKE_ENV_H_
#define MSGLOGIC_TESTS_SUPPORT_FAKE_ENV_H_

#include <stdint.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/env.h"

namespace msglogic {
namespace testing {

class FakeEnv : public EnvWrapper {
 public:
  FakeEnv();
  // Waits (in real time, bounded by the watchdog) for every tracked thread
  // to end. Release every agent first.
  ~FakeEnv() override;

  // --- Virtual time ---
  // Moves the clock forward by `ms`, stopping at every wake-up time on the
  // way and letting the woken threads run until they wait again.
  void Advance(uint64_t ms);
  // Lets every tracked thread run until it waits in virtual time or ends.
  void Settle();
  uint64_t NowMs();
  // Makes Time() return `seconds` now (wrapping like a 32-bit clock).
  void SetCalendar(int32_t seconds);
  // Blocks the calling thread in virtual time until `event` is set (or,
  // with ms, until ms have passed). Counts as waiting for Settle().
  bool WaitFor(Event* event, uint64_t ms = UINT64_MAX / 4);
  // Number of tracked threads that have not ended.
  int RunningThreads();

  // --- Threads ---
  // The next `count` StartThread calls fail.
  void FailThreadStarts(int count);
  // Starts recorded by StartThread: how many succeeded.
  int ThreadsStarted();

  // --- Recording ---
  std::vector<std::string> Traces();
  void ClearTraces();
  std::vector<std::string> MessageBoxes();
  // Runs inside ShowMessageBox (on the caller's thread), e.g. to keep the
  // box "open" while the test does something else.
  void OnMessageBox(std::function<void(const std::string&)> hook);
  // Runs at the start of every Time() call (on the caller's thread, with no
  // lock of the env's held), e.g. to act at a chosen point of a Connect.
  void OnTime(std::function<void()> hook);
  // Lock nestings outside the agent's order, as "outer -> inner".
  std::vector<std::string> LockOrderViolations();
  // The names of the env's locks the calling thread holds, outermost first.
  static std::vector<std::string> HeldLocks();

  // --- Files and engine ---
  // Paths beginning with ".\" or "./" are looked up under `dir` instead.
  void SetWorkingDirectory(const std::string& dir);
  void SetEngineFactory(std::function<IMsgLogic*()> factory);
  int EnginesCreated();
  // KeepModuleLoaded calls (the real module is left alone).
  int ModulePins();

  // Env
  int32_t Time() override;
  void SleepMs(uint32_t ms) override;
  Lock* NewLock(const char* name) override;
  Event* NewEvent() override;
  Thread* StartThread(void (*proc)(void*), void* arg) override;
  void DebugOutput(const char* text) override;
  void ShowMessageBox(const char* text) override;
  uint32_t FileAttributes(const char* path) override;
  uint32_t ProfileSection(const char* section, char* buffer, uint32_t size,
                          const char* path) override;
  uint32_t ProfileString(const char* section, const char* key,
                         const char* default_value, char* buffer,
                         uint32_t size, const char* path) override;
  IMsgLogic* CreateMsgLogic() override;
  void KeepModuleLoaded() override;

 private:
  class FakeEvent;
  class FakeThread;
  class CheckedLock;
  struct ThreadState;
  struct Waiter;

  // Waits in virtual time until done() or the deadline; `mu_` is held.
  bool VirtualWait(std::unique_lock<std::mutex>& hold, uint64_t ms,
                   const std::function<bool()>& done);
  bool SettledLocked();
  void WaitSettledLocked(std::unique_lock<std::mutex>& hold);
  std::string MapPath(const char* path);
  void NoteLockEntered(const void* lock, const char* name);
  void NoteLockLeft(const void* lock);

  // Guards the clock, the waiters, the thread states and events.
  std::mutex mu_;
  std::condition_variable cv_;
  uint64_t now_ms_ = 0;
  int64_t calendar_origin_ = 1700000000;  // calendar second at now_ms_ == 0
  std::vector<Waiter*> waiters_;
  std::vector<std::shared_ptr<ThreadState>> threads_;
  int running_ = 0;
  int fail_thread_starts_ = 0;
  int threads_started_ = 0;

  std::mutex record_mu_;  // guards everything below
  std::vector<std::string> traces_;
  std::vector<std::string> message_boxes_;
  std::function<void(const std::string&)> message_box_hook_;
  std::function<void()> time_hook_;
  std::vector<std::string> lock_violations_;
  std::string working_dir_;
  std::function<IMsgLogic*()> engine_factory_;
  int engines_created_ = 0;
  int module_pins_ = 0;
};

}  // namespace testing
}  // namespace msglogic

#endif  // MSGLOGIC_TESTS_SUPPORT_FAKE_ENV_H_
