// The demo's command prompt, typed at through pipes as a person would type
// at it, with the real agent and engine libraries behind it. The demo is the
// msglogic-demo.exe beside this program.
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "host/prompt_script.h"

namespace {

std::string DemoPath() {
  char self[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string dir(self, n < MAX_PATH ? n : 0);
  return dir.substr(0, dir.find_last_of("\\/") + 1) + "msglogic-demo.exe";
}

class PromptSession {
 public:
  PromptSession() {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE child_in = nullptr;
    HANDLE child_out = nullptr;
    if (!CreatePipe(&child_in, &to_demo_, &inherit, 0)) return;
    if (!CreatePipe(&from_demo_, &child_out, &inherit, 0)) {
      CloseHandle(child_in);
      return;
    }
    // Only the demo's ends are inherited.
    SetHandleInformation(to_demo_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(from_demo_, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = child_in;
    startup.hStdOutput = child_out;
    startup.hStdError = child_out;
    const std::string demo = DemoPath();
    std::string command = "\"" + demo + "\" --interactive";
    PROCESS_INFORMATION info = {};
    if (CreateProcessA(demo.c_str(), &command[0], nullptr, nullptr, TRUE, 0,
                       nullptr, nullptr, &startup, &info)) {
      process_ = info.hProcess;
      CloseHandle(info.hThread);
    }
    // The demo holds its own ends now: its output ends when it exits.
    CloseHandle(child_in);
    CloseHandle(child_out);
    if (process_ != nullptr) reader_ = std::thread([this] { ReadAll(); });
  }
  ~PromptSession() {
    if (process_ != nullptr) {
      if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) {
        TerminateProcess(process_, 1);
      }
      CloseHandle(process_);
    }
    if (to_demo_ != nullptr) CloseHandle(to_demo_);
    if (reader_.joinable()) reader_.join();
    if (from_demo_ != nullptr) CloseHandle(from_demo_);
  }

  bool started() const { return process_ != nullptr; }

  void Type(const std::string& line) {
    const std::string bytes = line + "\n";
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(to_demo_, bytes.data(), static_cast<DWORD>(bytes.size()),
                          &written, nullptr));
    ASSERT_EQ(written, bytes.size());
  }

  // Waits until `text` appears after the previous match (up to ten seconds);
  // the next search starts after it.
  ::testing::AssertionResult Expect(const std::string& text) {
    std::unique_lock<std::mutex> hold(mu_);
    size_t at = std::string::npos;
    const bool found = changed_.wait_for(hold, std::chrono::seconds(10), [&] {
      at = output_.find(text, seen_);
      return at != std::string::npos || ended_;
    });
    if (found && at != std::string::npos) {
      seen_ = at + text.size();
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "no \"" << text << "\" in:\n"
                                         << output_.substr(seen_);
  }

  // The exit code, once the demo has ended (up to ten seconds).
  int ExitCode() {
    if (WaitForSingleObject(process_, 10000) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return static_cast<int>(code);
  }

 private:
  void ReadAll() {
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(from_demo_, buffer, sizeof buffer, &n, nullptr) && n > 0) {
      std::lock_guard<std::mutex> hold(mu_);
      output_.append(buffer, n);
      changed_.notify_all();
    }
    std::lock_guard<std::mutex> hold(mu_);
    ended_ = true;
    changed_.notify_all();
  }

  HANDLE process_ = nullptr;
  HANDLE to_demo_ = nullptr;
  HANDLE from_demo_ = nullptr;
  std::thread reader_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::string output_;
  size_t seen_ = 0;
  bool ended_ = false;
};

TEST(DemoPrompt, RunsTheCommandsTypedAtIt) {
  PromptSession demo;
  ASSERT_TRUE(demo.started());
  msglogic_demo_test::TypeAtThePrompt(demo);
}

}  // namespace
