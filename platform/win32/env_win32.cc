// Env for Windows (Win32 API, 32- or 64-bit).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <process.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform/env.h"
#include "platform/mutex_lock.h"
#include "platform/trace_file.h"
#include "textcodec/textcodec.h"

namespace msglogic {
namespace {

// A critical section as a recursive mutex for MutexLock.
class CriticalSection {
 public:
  CriticalSection() { InitializeCriticalSection(&cs_); }
  ~CriticalSection() { DeleteCriticalSection(&cs_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  void lock() { EnterCriticalSection(&cs_); }
  void unlock() { LeaveCriticalSection(&cs_); }

 private:
  CRITICAL_SECTION cs_;
};

using Win32Lock = MutexLock<CriticalSection>;

class Win32Event final : public Event {
 public:
  explicit Win32Event(HANDLE handle) : handle_(handle) {}
  ~Win32Event() override { CloseHandle(handle_); }
  void Set() override { SetEvent(handle_); }
  bool Wait(uint32_t ms) override {
    return WaitForSingleObject(handle_, ms) == WAIT_OBJECT_0;
  }

 private:
  const HANDLE handle_;
};

// What a new thread runs, and the reference on the module holding this code
// that the thread owns; the thread frees it once it has read it.
struct ThreadStart {
  void (*proc)(void*);
  void* arg;
  HMODULE module;
};

// A thread gives its module reference back as its very last act, through
// FreeLibraryAndExitThread, which does not return: so a host may unload the
// library as soon as it has released the agent, even while a thread that
// outlived Release's wait (one held up inside a host callback, say) is still
// on its way out; the library stays loaded until that thread has left it.
unsigned __stdcall ThreadMain(void* p) {
  const ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  start.proc(start.arg);
  FreeLibraryAndExitThread(start.module, 0);
}

// The thread object is signalled when the thread ends, so the handle itself
// is all the state a Join needs; closing it leaves a running thread alone.
class Win32Thread final : public Thread {
 public:
  Win32Thread() = default;
  ~Win32Thread() override {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  // Set once the thread runs, by StartThread, before the handle is handed out.
  void SetStarted(HANDLE handle, unsigned id) {
    handle_ = handle;
    id_ = id;
  }
  bool Join(uint32_t ms) override {
    return WaitForSingleObject(handle_, ms) == WAIT_OBJECT_0;
  }
  bool IsCurrent() const override { return GetCurrentThreadId() == id_; }

 private:
  HANDLE handle_ = nullptr;
  DWORD id_ = 0;
};

// How ShowMessageBox reaches the user, chosen once per process by the
// variable MSGLOGIC_MESSAGEBOX: "stderr" writes the text as one UTF-8 line on
// standard error and returns at once, as on Linux; anything else shows a real
// message box. Unattended runs with a desktop (Wine on an X server or Xvfb
// included) set it, since a box there waits for a click nobody gives.
bool MessageBoxesToStderr() {
  static const bool to_stderr = [] {
    const char* where = std::getenv("MSGLOGIC_MESSAGEBOX");
    return where != nullptr && std::strcmp(where, "stderr") == 0;
  }();
  return to_stderr;
}

void WriteMessageLine(const char* text) {
  std::string gb(text);
  std::string utf8(gb.size() * 2 + 1, '\0');
  size_t n = GB2312ToUTF_8N(&utf8[0], utf8.size() - 1, gb.data(), gb.size());
  utf8.resize(n);
  utf8.push_back('\n');
  std::fwrite(utf8.data(), 1, utf8.size(), stderr);
  std::fflush(stderr);
}

// The owner a framework application gives its message boxes: the window the
// user is working in, if it is one of this process's, else none.
HWND DefaultOwner() {
  HWND owner = GetActiveWindow();  // this thread's active window
  if (owner == nullptr) {
    owner = GetForegroundWindow();
    DWORD pid = 0;
    if (owner != nullptr) GetWindowThreadProcessId(owner, &pid);
    if (pid != GetCurrentProcessId()) owner = nullptr;
  }
  return owner != nullptr ? GetLastActivePopup(owner) : nullptr;
}

// The caption a framework application gives its message boxes when it has
// no title of its own: its executable's file name without directory or
// extension ("host" for C:\Apps\host.exe).
std::string DefaultCaption() {
  char path[MAX_PATH + 1];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::string();
  path[n] = '\0';
  std::string name(path);
  size_t slash = name.find_last_of("\\/:");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

class Win32Env final : public Env {
 public:
  int32_t Time() override {
    // Wraps in 2038 like the 32-bit calendar time the agent works with.
    return static_cast<int32_t>(static_cast<uint32_t>(time(nullptr)));
  }

  void SleepMs(uint32_t ms) override { Sleep(ms); }

  Lock* NewLock(const char*) override { return new (std::nothrow) Win32Lock; }

  Event* NewEvent() override {
    HANDLE handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (handle == nullptr) return nullptr;
    auto* event = new (std::nothrow) Win32Event(handle);
    if (event == nullptr) CloseHandle(handle);
    return event;
  }

  // Everything the thread and its handle need is had before the thread
  // starts, its module reference included: a thread either starts with its
  // handle or not at all.
  Thread* StartThread(void (*proc)(void*), void* arg) override {
    auto* thread = new (std::nothrow) Win32Thread;
    auto* start = new (std::nothrow) ThreadStart{proc, arg, nullptr};
    // One more reference on the module whose code the thread runs (the
    // agent's DLL, or the program it is linked into).
    if (thread == nullptr || start == nullptr ||
        !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCSTR>(&ThreadMain), &start->module)) {
      delete start;
      delete thread;
      return nullptr;
    }
    unsigned id = 0;
    // _beginthreadex, not CreateThread: the thread uses the C runtime.
    HANDLE handle = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, ThreadMain, start, 0, &id));
    if (handle == nullptr) {
      FreeLibrary(start->module);
      delete start;
      delete thread;
      return nullptr;
    }
    thread->SetStarted(handle, id);
    return thread;
  }

  void DebugOutput(const char* text) override {
    OutputDebugStringA(text);
    WriteTraceLine(text);
  }

  // Modal to the owner, if any; returns when OK (or Escape, or the close
  // box) has dismissed it. The text is passed as it is: the host runs with
  // the system code page 936, the same as the text's.
  //
  // A box that cannot be shown is not waited for: the text goes to standard
  // error instead. That is what happens under Wine without a display, where
  // MessageBoxA fails at once (no window can be created: it returns -1 with
  // ERROR_INVALID_WINDOW_HANDLE), so headless runs never block here.
  void ShowMessageBox(const char* text) override {
    if (MessageBoxesToStderr()) {
      WriteMessageLine(text);
      return;
    }
    const std::string caption = DefaultCaption();
    const int answer = MessageBoxA(
        DefaultOwner(), text, caption.empty() ? nullptr : caption.c_str(), MB_OK);
    if (answer != IDOK) WriteMessageLine(text);
  }

  uint32_t FileAttributes(const char* path) override {
    return GetFileAttributesA(path);
  }

  uint32_t ProfileSection(const char* section, char* buffer, uint32_t size,
                          const char* path) override {
    return GetPrivateProfileSectionA(section, buffer, size, path);
  }

  uint32_t ProfileString(const char* section, const char* key,
                         const char* default_value, char* buffer, uint32_t size,
                         const char* path) override {
    return GetPrivateProfileStringA(section, key, default_value, buffer, size,
                                    path);
  }

  // The operating system has no engine; the agent library wraps this Env
  // with one that calls the engine library it is linked with.
  IMsgLogic* CreateMsgLogic() override { return nullptr; }

  // Pins the module (the agent's DLL, or the program this is linked into):
  // FreeLibrary no longer unloads it.
  void KeepModuleLoaded() override {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&ThreadMain), &module);
  }
};

}  // namespace

Env* Env::Default() {
  // Never destroyed (detached workers use it) and not allocated, so that
  // asking for it can never fail.
  alignas(Win32Env) static unsigned char storage[sizeof(Win32Env)];
  static Env* env = new (storage) Win32Env;
  return env;
}

}  // namespace msglogic
