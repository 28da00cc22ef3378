// The Env contract, checked on the real environment of the operating system
// the test runs on (Linux, or Windows and Wine).
#include "platform/env.h"

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/module_registry.h"
#include "tests/support/temp_dir.h"

namespace msglogic {
namespace {

// Long enough never to run out on a loaded machine or under emulation; a
// wait that returns true returns as soon as its condition holds.
constexpr uint32_t kForever = 60000;
// For waits that must time out: a wrong answer comes well within it.
constexpr uint32_t kBriefly = 20;

Env* env() { return Env::Default(); }

struct LockProbe {
  Lock* lock;
  std::unique_ptr<Event> entered;
};

TEST(EnvLockTest, ReentersOnOneThreadAndExcludesOthers) {
  std::unique_ptr<Lock> lock(env()->NewLock("probe"));
  ASSERT_NE(lock, nullptr);
  LockProbe probe{lock.get(), std::unique_ptr<Event>(env()->NewEvent())};
  ASSERT_NE(probe.entered, nullptr);

  lock->Enter();
  lock->Enter();  // the holder enters again without blocking
  std::unique_ptr<Thread> other(env()->StartThread(
      [](void* p) {
        auto* probe = static_cast<LockProbe*>(p);
        probe->lock->Enter();
        probe->entered->Set();
        probe->lock->Leave();
      },
      &probe));
  ASSERT_NE(other, nullptr);

  EXPECT_FALSE(probe.entered->Wait(kBriefly));
  lock->Leave();  // still held once
  EXPECT_FALSE(probe.entered->Wait(kBriefly));
  lock->Leave();
  EXPECT_TRUE(probe.entered->Wait(kForever));
  EXPECT_TRUE(other->Join(kForever));
}

TEST(EnvEventTest, StaysClearUntilSetThenStaysSet) {
  std::unique_ptr<Event> event(env()->NewEvent());
  ASSERT_NE(event, nullptr);
  EXPECT_FALSE(event->Wait(0));
  EXPECT_FALSE(event->Wait(kBriefly));
  event->Set();
  EXPECT_TRUE(event->Wait(0));  // set before the wait
  EXPECT_TRUE(event->Wait(kForever));
}

TEST(EnvEventTest, WakesWaiterWhenSetOnAnotherThread) {
  std::unique_ptr<Event> event(env()->NewEvent());
  ASSERT_NE(event, nullptr);
  std::unique_ptr<Thread> setter(env()->StartThread(
      [](void* e) { static_cast<Event*>(e)->Set(); }, event.get()));
  ASSERT_NE(setter, nullptr);
  EXPECT_TRUE(event->Wait(kForever));
  EXPECT_TRUE(setter->Join(kForever));
}

// A thread that waits for `release`, then records that it ran to the end.
struct Worker {
  std::unique_ptr<Event> release{Env::Default()->NewEvent()};
  std::unique_ptr<Event> finished{Env::Default()->NewEvent()};
  std::atomic<Thread*> handle{nullptr};
  std::atomic<bool> was_current{false};

  static void Run(void* p) {
    auto* self = static_cast<Worker*>(p);
    self->release->Wait(kForever);
    Thread* handle = self->handle.load();
    self->was_current = handle != nullptr && handle->IsCurrent();
    self->finished->Set();
  }
};

TEST(EnvThreadTest, JoinTimesOutWhileRunningAndSucceedsOnceEnded) {
  Worker worker;
  std::unique_ptr<Thread> thread(env()->StartThread(Worker::Run, &worker));
  ASSERT_NE(thread, nullptr);
  EXPECT_FALSE(thread->Join(10));
  worker.release->Set();
  EXPECT_TRUE(thread->Join(kForever));
  EXPECT_TRUE(worker.finished->Wait(0));
  EXPECT_TRUE(thread->Join(0));  // an ended thread stays joinable
}

TEST(EnvThreadTest, IsCurrentOnlyOnItsOwnThread) {
  Worker worker;
  std::unique_ptr<Thread> thread(env()->StartThread(Worker::Run, &worker));
  ASSERT_NE(thread, nullptr);
  worker.handle = thread.get();
  EXPECT_FALSE(thread->IsCurrent());
  worker.release->Set();
  ASSERT_TRUE(thread->Join(kForever));
  EXPECT_TRUE(worker.was_current);
}

TEST(EnvThreadTest, DroppingHandleLeavesThreadRunning) {
  Worker worker;
  Thread* thread = env()->StartThread(Worker::Run, &worker);
  ASSERT_NE(thread, nullptr);
  delete thread;  // returns at once; the thread is blocked on `release`
  EXPECT_FALSE(worker.finished->Wait(0));
  worker.release->Set();
  EXPECT_TRUE(worker.finished->Wait(kForever));
}

TEST(EnvTest, TimeIsCalendarTimeIn32Bits) {
  const uint32_t before = static_cast<uint32_t>(time(nullptr));
  const uint32_t now = static_cast<uint32_t>(env()->Time());
  const uint32_t after = static_cast<uint32_t>(time(nullptr));
  EXPECT_LE(now - before, after - before);  // modulo 2^32, like the agent
}

TEST(EnvTest, FileAttributesTellDirectoryFromFileAndMissing) {
  testing::TempDir dir;
  const std::string file = dir.Write("sub/file.txt", "x");
  const uint32_t dir_attributes = env()->FileAttributes(dir.path().c_str());
  ASSERT_NE(dir_attributes, kInvalidFileAttributes);
  EXPECT_NE(dir_attributes & kFileAttributeDirectory, 0u);
  const uint32_t file_attributes = env()->FileAttributes(file.c_str());
  ASSERT_NE(file_attributes, kInvalidFileAttributes);
  EXPECT_EQ(file_attributes & kFileAttributeDirectory, 0u);
  EXPECT_EQ(env()->FileAttributes((dir.path() + "/missing").c_str()),
            kInvalidFileAttributes);
}

TEST(EnvTest, ProfileReadsGiveTheWindowsResults) {
  testing::TempDir dir;
  const std::string ini =
      dir.Write("login.ini", "[users]\r\nalice=1\r\nbob = two \r\n[other]\r\nx=y\r\n");
  char buffer[64];
  std::memset(buffer, 'z', sizeof buffer);
  EXPECT_EQ(env()->ProfileString("users", "bob", "none", buffer, sizeof buffer,
                                 ini.c_str()),
            3u);
  EXPECT_STREQ(buffer, "two");
  EXPECT_EQ(env()->ProfileString("users", "carol", "none", buffer, sizeof buffer,
                                 ini.c_str()),
            4u);
  EXPECT_STREQ(buffer, "none");

  std::memset(buffer, 'z', sizeof buffer);
  const uint32_t n = env()->ProfileSection("users", buffer, sizeof buffer, ini.c_str());
  ASSERT_EQ(n, 16u);
  EXPECT_EQ(std::string(buffer, n + 1), std::string("alice=1\0bob=two\0\0", 17));
}

TEST(EnvTest, MessageBoxGoesToStderrAsUtf8WhenAskedTo) {
  const char* where = std::getenv("MSGLOGIC_MESSAGEBOX");
  if (where == nullptr || std::strcmp(where, "stderr") != 0) {
    GTEST_SKIP() << "needs MSGLOGIC_MESSAGEBOX=stderr (set by ctest)";
  }
  ::testing::internal::CaptureStderr();
  env()->ShowMessageBox("\xc4\xe3\xba\xc3 ok");  // GB2312 for "ni hao"
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "\xe4\xbd\xa0\xe5\xa5\xbd ok\n");
}

TEST(ModuleRegistryTest, CountsRegistrationsUntilWithdrawn) {
  int module_a = 0;
  int module_b = 0;
  const int before = RegisteredExtensionModules();
  RegisterExtensionModule(&module_a);
  RegisterExtensionModule(&module_b);
  EXPECT_EQ(RegisteredExtensionModules(), before + 2);
  UnregisterExtensionModule(&module_a);
  UnregisterExtensionModule(&module_a);  // no longer registered: ignored
  EXPECT_EQ(RegisteredExtensionModules(), before + 1);
  UnregisterExtensionModule(&module_b);
  EXPECT_EQ(RegisteredExtensionModules(), before);
}

}  // namespace
}  // namespace msglogic
