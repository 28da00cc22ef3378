// FakeEngine: an IMsgLogic that records every call the agent makes, for
// tests. Its record (EngineLog) belongs to the test and outlives the engine
// object, which the agent destroys through Release.
#ifndef MSGLOGIC_TESTS_SUPPORT_FAKE_ENGINE_H_
#define MSGLOGIC_TESTS_SUPPORT_FAKE_ENGINE_H_

#include <stdint.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MsgLogic.h"

namespace msglogic {
namespace testing {

// Engine slots, as the agent calls them.
enum EngineSlot {
  kSetSink = 0,
  kLoginByName = 3,
  kLoginById = 4,
  kRelease = 6,
  kSendText = 18,
  kSetUserId = 73,
  kRequestUserInfo = 74,
  kContactUser = 76,
  kStart = 78,
  kRequestA = 79,
  kRequestB = 81,
  kSendRoomInfo = 83,
  kRequestC = 84,
  kKeepAlive = 90,
  kGetFriendList = 113,
};

struct EngineCall {
  int engine = 0;                 // which engine object (1 = first created)
  int slot = 0;
  std::vector<int64_t> args;      // integer arguments, in order
  const void* pointer = nullptr;  // the text or buffer argument, if any
  std::string text;               // a copy of that text / buffer
  std::thread::id thread;
};

class EngineLog {
 public:
  // Results of the two logins (2 means logged in).
  int32_t login_by_name_result = 2;
  int32_t login_by_id_result = 2;
  // Runs inside every call, after it has been recorded, on the caller's
  // thread (with the agent's engine lock held).
  std::function<void(const EngineCall&)> on_call;
  // Runs inside Release before the engine object is gone (after on_call),
  // on the caller's thread: a test whose own threads play the engine's
  // stops them here, since no sink call may be under way or begin once
  // Release has returned.
  std::function<void()> on_release;

  // A new engine object recording into this log.
  IMsgLogic* NewEngine();

  std::vector<EngineCall> Calls();
  std::vector<EngineCall> Calls(int slot);
  int Count(int slot);
  void Clear();
  // The sink given to the last SetSink.
  IMsgLogicSink* sink();
  int engines_created();
  int engines_alive();

  void Record(EngineCall call);
  void SetSinkOf(IMsgLogicSink* sink);
  void EngineGone();

 private:
  std::mutex mu_;
  std::vector<EngineCall> calls_;
  IMsgLogicSink* sink_ = nullptr;
  int created_ = 0;
  int alive_ = 0;
};

}  // namespace testing
}  // namespace msglogic

#endif  // MSGLOGIC_TESTS_SUPPORT_FAKE_ENGINE_H_
