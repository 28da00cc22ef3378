// The agent's only way to the operating system, the clock and the engine
// factory. Env::Default() is the real one for the current OS; tests and tools
// hand the agent their own (usually an EnvWrapper over the default) to run it
// in virtual time, record its traces, or give it a fake engine.
//
// Every Env implementation must be safe for concurrent use by several
// threads. Objects it creates (locks, events, threads) belong to the caller
// and are destroyed with delete.
#ifndef MSGLOGIC_PLATFORM_ENV_H_
#define MSGLOGIC_PLATFORM_ENV_H_

#include <stdint.h>

#include "platform/thread_annotations.h"

class IMsgLogic;

namespace msglogic {

// A recursive mutual-exclusion lock: a thread may enter a lock it holds, and
// must leave it as often as it entered. (A Win32 critical section; a
// recursive pthread mutex.)
class Lock {
 public:
  virtual ~Lock();  // The lock must not be held.
  virtual void Enter() = 0;
  virtual void Leave() = 0;
};

// A manual-reset event, initially clear. Once set it stays set.
class Event {
 public:
  virtual ~Event();
  virtual void Set() = 0;
  // Waits until the event is set or `ms` milliseconds have passed on the
  // environment's clock. True when the event is set.
  virtual bool Wait(uint32_t ms) = 0;
};

// A handle on a thread started by Env::StartThread. Destroying the handle
// gives it back to the system; a thread still running goes on, detached.
// While such a thread runs, the module holding its code stays loaded even if
// the host unloads it (the host may unload the agent's library as soon as
// Release has returned, though a worker held up in a callback runs on).
class Thread {
 public:
  virtual ~Thread();
  // Waits until the thread has ended or `ms` milliseconds have passed.
  // True when it has ended. Must not be called on the thread itself.
  virtual bool Join(uint32_t ms) = 0;
  // True when called on this thread.
  virtual bool IsCurrent() const = 0;
};

// Win32 file attribute values as GetFileAttributes reports them.
constexpr uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
constexpr uint32_t kFileAttributeDirectory = 0x10u;
constexpr uint32_t kFileAttributeNormal = 0x80u;

class Env {
 public:
  Env() = default;
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;
  virtual ~Env();

  // The environment of the real operating system. Never destroyed.
  static Env* Default();

  // Calendar time in whole seconds, as a signed 32-bit number that wraps in
  // 2038 (callers take differences modulo 2^32).
  virtual int32_t Time() = 0;

  // Blocks the calling thread for `ms` milliseconds.
  virtual void SleepMs(uint32_t ms) = 0;

  // A new recursive lock, or null. `name` identifies the lock in diagnostics
  // (a checking Env may use it to verify lock order); it must outlive the lock.
  virtual Lock* NewLock(const char* name) = 0;

  // A new manual-reset event, or null.
  virtual Event* NewEvent() = 0;

  // Starts proc(arg) on a new thread. Null when the thread cannot be started
  // (proc is then not called).
  virtual Thread* StartThread(void (*proc)(void* arg), void* arg) = 0;

  // Writes one trace line (the text exactly, no decoration).
  virtual void DebugOutput(const char* text) = 0;

  // Shows a modal message box with an OK button and the GB2312 `text`, using
  // the host application's default caption and owner; returns when it has
  // been dismissed.
  virtual void ShowMessageBox(const char* text) = 0;

  // Win32 GetFileAttributesA: the attribute mask of `path`, or
  // kInvalidFileAttributes when it cannot be examined.
  virtual uint32_t FileAttributes(const char* path) = 0;

  // Win32 GetPrivateProfileSectionA: the entries of `section` as consecutive
  // NUL-terminated "key=value" strings closed by one more NUL, cut to fit
  // `size` bytes. Returns the number of bytes written, excluding the final
  // NUL.
  virtual uint32_t ProfileSection(const char* section, char* buffer,
                                  uint32_t size, const char* path) = 0;

  // Win32 GetPrivateProfileStringA: the value of `key` in `section`,
  // NUL-terminated and cut to at most size - 1 bytes, or `default_value`
  // when the file, section or key is missing. Returns the length copied.
  virtual uint32_t ProfileString(const char* section, const char* key,
                                 const char* default_value, char* buffer,
                                 uint32_t size, const char* path) = 0;

  // A new engine object from the messaging-engine library, or null.
  virtual IMsgLogic* CreateMsgLogic() = 0;

  // Keeps the module that holds this code loaded for the rest of the
  // process, whatever the host unloads: for a thread the agent does not own
  // (an engine thread inside a host callback that outlived Release's wait)
  // that will still come back through the agent's code. The agent's own
  // threads need no such thing: each keeps the module loaded while it runs.
  virtual void KeepModuleLoaded() = 0;
};

// Forwards every call to another Env; override what you want to change.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }

  int32_t Time() override { return target_->Time(); }
  void SleepMs(uint32_t ms) override { target_->SleepMs(ms); }
  Lock* NewLock(const char* name) override { return target_->NewLock(name); }
  Event* NewEvent() override { return target_->NewEvent(); }
  Thread* StartThread(void (*proc)(void*), void* arg) override {
    return target_->StartThread(proc, arg);
  }
  void DebugOutput(const char* text) override { target_->DebugOutput(text); }
  void ShowMessageBox(const char* text) override {
    target_->ShowMessageBox(text);
  }
  uint32_t FileAttributes(const char* path) override {
    return target_->FileAttributes(path);
  }
  uint32_t ProfileSection(const char* section, char* buffer, uint32_t size,
                          const char* path) override {
    return target_->ProfileSection(section, buffer, size, path);
  }
  uint32_t ProfileString(const char* section, const char* key,
                         const char* default_value, char* buffer,
                         uint32_t size, const char* path) override {
    return target_->ProfileString(section, key, default_value, buffer, size,
                                  path);
  }
  IMsgLogic* CreateMsgLogic() override { return target_->CreateMsgLogic(); }
  void KeepModuleLoaded() override { target_->KeepModuleLoaded(); }

 private:
  Env* const target_;
};

// A recursive lock created through an Env, usable with thread-safety
// annotations. Init and Delete bracket its life explicitly so that an owner
// can create and delete its locks in a chosen order.
class CAPABILITY("mutex") RecursiveLock {
 public:
  RecursiveLock() = default;
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;
  ~RecursiveLock() { Delete(); }

  // False when the lock cannot be created.
  bool Init(Env* env, const char* name) {
    impl_ = env->NewLock(name);
    return impl_ != nullptr;
  }
  void Delete() {
    delete impl_;
    impl_ = nullptr;
  }
  void Enter() ACQUIRE() { impl_->Enter(); }
  void Leave() RELEASE() { impl_->Leave(); }

 private:
  Lock* impl_ = nullptr;
};

// Holds a RecursiveLock for the lifetime of the scope.
class SCOPED_CAPABILITY LockHolder {
 public:
  explicit LockHolder(RecursiveLock* lock) ACQUIRE(lock) : lock_(lock) {
    lock_->Enter();
  }
  ~LockHolder() RELEASE() { lock_->Leave(); }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

 private:
  RecursiveLock* const lock_;
};

}  // namespace msglogic

#endif  // MSGLOGIC_PLATFORM_ENV_H_
