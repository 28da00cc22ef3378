// The demo's command prompt, typed at through a pseudo-terminal as a
// person would, with the real agent and engine libraries behind it.
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "gtest/gtest.h"
#include "host/prompt_script.h"

namespace {

class PromptSession {
 public:
  PromptSession() {
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      // What is typed is not echoed back: the output is the demo's alone.
      termios mode;
      tcgetattr(STDIN_FILENO, &mode);
      mode.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      tcsetattr(STDIN_FILENO, TCSANOW, &mode);
      execl(DEMO_PATH, DEMO_PATH, "--interactive", static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~PromptSession() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
  }

  bool started() const { return pid_ > 0; }

  void Type(const std::string& line) {
    const std::string bytes = line + "\n";
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Reads until `text` appears after the previous match (up to ten
  // seconds); the next search starts after it.
  ::testing::AssertionResult Expect(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      const size_t at = output_.find(text, seen_);
      if (at != std::string::npos) {
        seen_ = at + text.size();
        return ::testing::AssertionSuccess();
      }
      if (std::chrono::steady_clock::now() > deadline || !ReadSome()) {
        return ::testing::AssertionFailure()
               << "no \"" << text << "\" in:\n" << output_.substr(seen_);
      }
    }
  }

  // The exit code, once the demo has ended (reading what is left).
  int ExitCode() {
    while (ReadSome()) {
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  // False at the end of the output.
  bool ReadSome() {
    pollfd fd = {master_, POLLIN, 0};
    if (poll(&fd, 1, 100) == 0) return true;
    char buffer[4096];
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) return false;
    output_.append(buffer, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int master_ = -1;
  bool reaped_ = false;
  std::string output_;
  size_t seen_ = 0;
};

TEST(DemoPrompt, RunsTheCommandsTypedAtIt) {
  PromptSession demo;
  ASSERT_TRUE(demo.started());
  msglogic_demo_test::TypeAtThePrompt(demo);
}

}  // namespace
