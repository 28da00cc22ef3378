// Env for Linux and other POSIX systems.
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "platform/env.h"
#include "platform/mutex_lock.h"
#include "platform/posix/ini_profile.h"
#include "platform/trace_file.h"
#include "textcodec/textcodec.h"

namespace msglogic {
namespace {

using PosixLock = MutexLock<std::recursive_mutex>;

class PosixEvent final : public Event {
 public:
  void Set() override {
    std::lock_guard<std::mutex> hold(mu_);
    set_ = true;
    cv_.notify_all();
  }
  bool Wait(uint32_t ms) override {
    std::unique_lock<std::mutex> hold(mu_);
    return cv_.wait_for(hold, std::chrono::milliseconds(ms),
                        [this] { return set_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool set_ = false;
};

// Shared by a running thread and its handle; the last of the two frees it.
struct ThreadState {
  ThreadState(void (*p)(void*), void* a) : proc(p), arg(a) {}
  void (*const proc)(void*);
  void* const arg;
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;  // guarded by mu
  int owners = 2;     // guarded by mu

  void Unref() {
    bool last;
    {
      std::lock_guard<std::mutex> hold(mu);
      last = --owners == 0;
    }
    if (last) delete this;
  }
};

void* ThreadMain(void* p) {
  auto* state = static_cast<ThreadState*>(p);
  state->proc(state->arg);
  {
    std::lock_guard<std::mutex> hold(state->mu);
    state->done = true;
    state->cv.notify_all();
  }
  state->Unref();
  return nullptr;
}

class PosixThread final : public Thread {
 public:
  explicit PosixThread(ThreadState* state) : state_(state) {}
  ~PosixThread() override {
    if (!started_) {  // the thread could not be created: the state is ours alone
      delete state_;
      return;
    }
    bool done;
    {
      std::lock_guard<std::mutex> hold(state_->mu);
      done = state_->done;
    }
    // A finished thread is reaped; a running one goes on detached.
    if (done) {
      pthread_join(id_, nullptr);
    } else {
      pthread_detach(id_);
    }
    state_->Unref();
  }
  // Set once the thread runs, by StartThread, before the handle is handed out.
  void SetStarted(pthread_t id) {
    id_ = id;
    started_ = true;
  }
  bool Join(uint32_t ms) override {
    std::unique_lock<std::mutex> hold(state_->mu);
    return state_->cv.wait_for(hold, std::chrono::milliseconds(ms),
                               [this] { return state_->done; });
  }
  bool IsCurrent() const override { return pthread_equal(pthread_self(), id_); }

 private:
  pthread_t id_{};
  bool started_ = false;
  ThreadState* const state_;
};

class PosixEnv final : public Env {
 public:
  int32_t Time() override {
    // Wraps in 2038 like the 32-bit calendar time the agent works with.
    return static_cast<int32_t>(static_cast<uint32_t>(time(nullptr)));
  }

  void SleepMs(uint32_t ms) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }

  Lock* NewLock(const char*) override { return new (std::nothrow) PosixLock; }

  Event* NewEvent() override { return new (std::nothrow) PosixEvent; }

  // Everything the thread and its handle need is allocated before the
  // thread starts: a thread either starts with its handle or not at all.
  Thread* StartThread(void (*proc)(void*), void* arg) override {
    auto* state = new (std::nothrow) ThreadState(proc, arg);
    if (state == nullptr) return nullptr;
    auto* handle = new (std::nothrow) PosixThread(state);
    if (handle == nullptr) {
      delete state;
      return nullptr;
    }
    pthread_t id;
    if (pthread_create(&id, nullptr, ThreadMain, state) != 0) {
      delete handle;  // and the state with it
      return nullptr;
    }
    handle->SetStarted(id);
    return handle;
  }

  void DebugOutput(const char* text) override { WriteTraceLine(text); }

  // No desktop: the message goes to standard error as one UTF-8 line and the
  // call returns at once, as if OK had been pressed.
  void ShowMessageBox(const char* text) override {
    std::string gb(text);
    std::string utf8(gb.size() * 2 + 1, '\0');
    size_t n = GB2312ToUTF_8N(&utf8[0], utf8.size() - 1, gb.data(), gb.size());
    utf8.resize(n);
    utf8.push_back('\n');
    std::fwrite(utf8.data(), 1, utf8.size(), stderr);
    std::fflush(stderr);
  }

  uint32_t FileAttributes(const char* path) override {
    struct stat st;
    if (stat(ToPosixPath(path).c_str(), &st) != 0) return kInvalidFileAttributes;
    return S_ISDIR(st.st_mode) ? kFileAttributeDirectory : kFileAttributeNormal;
  }

  uint32_t ProfileSection(const char* section, char* buffer, uint32_t size,
                          const char* path) override {
    return ReadProfileSection(section, buffer, size, path);
  }

  uint32_t ProfileString(const char* section, const char* key,
                         const char* default_value, char* buffer, uint32_t size,
                         const char* path) override {
    return ReadProfileString(section, key, default_value, buffer, size, path);
  }

  // The operating system has no engine; the agent library wraps this Env
  // with one that calls the engine library it is linked with.
  IMsgLogic* CreateMsgLogic() override { return nullptr; }

  // Nothing to do: the agent library is linked with -z nodelete, so dlclose
  // never unmaps it and every thread may run back through its code. (There
  // is no FreeLibraryAndExitThread here: a thread cannot drop the last
  // reference on the library its own code is in and then leave that code.)
  void KeepModuleLoaded() override {}
};

}  // namespace

Env* Env::Default() {
  // Never destroyed (detached workers use it) and not allocated, so that
  // asking for it can never fail.
  alignas(PosixEnv) static unsigned char storage[sizeof(PosixEnv)];
  static Env* env = new (storage) PosixEnv;
  return env;
}

}  // namespace msglogic
