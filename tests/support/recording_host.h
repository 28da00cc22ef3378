// RecordingHost: a host callback object for tests. Records every callback
// with copies of what it was given (the data is valid only during the call)
// and can run a hook inside each one.
#ifndef MSGLOGIC_TESTS_SUPPORT_RECORDING_HOST_H_
#define MSGLOGIC_TESTS_SUPPORT_RECORDING_HOST_H_

#include <stdint.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "MsgLogicEx.h"

namespace msglogic {
namespace testing {

// Host callback slots.
enum HostSlot {
  kOnFriendList = 3,
  kOnEventA = 4,
  kOnUserList = 5,
  kOnUserData = 6,
  kOnEventB = 7,
  kOnEventC = 8,
  kOnEventD = 9,
  kOnConnectionLost = 10,
};

struct HostEvent {
  int slot = 0;
  std::vector<int64_t> args;                   // integer arguments, in order
  const void* pointer = nullptr;               // the pointer argument as given
  std::vector<FriendInfo> friends;             // OnFriendList / OnUserData kind 1
  std::vector<std::pair<int32_t, std::string>> users;  // OnUserList
  std::string text;                            // OnEventA / OnUserData kind 0
  std::thread::id thread;
};

class RecordingHost final : public IMsgLogicExCallback {
 public:
  // OnFriendList copies this many entries of the array it gets.
  size_t friend_entries = 0;
  // Answer of GetInterface(2): this object, or null when false.
  bool answer_interface = true;
  // Runs inside every callback, after it has been recorded.
  std::function<void(const HostEvent&)> hook;

  std::vector<HostEvent> Events();
  std::vector<HostEvent> Events(int slot);
  int Count(int slot);
  void Clear();
  int interface_queries();

  void* GetInterface(int32_t id) override;
  int32_t OnFriendList(int32_t flag, const FriendInfo* friends) override;
  int32_t OnEventA(int32_t userId, const char* text) override;
  int32_t OnUserList(int32_t count, const UserEntry* users) override;
  int32_t OnUserData(int32_t userId, int32_t kind, const void* data) override;
  int32_t OnEventB(int32_t value) override;
  int32_t OnEventC() override;
  int32_t OnEventD(int32_t a, int32_t b, int32_t c) override;
  int32_t OnConnectionLost() override;

 private:
  int32_t Deliver(HostEvent event);

  std::mutex mu_;
  std::vector<HostEvent> events_;
  int interface_queries_ = 0;
};

}  // namespace testing
}  // namespace msglogic

#endif  // MSGLOGIC_TESTS_SUPPORT_RECORDING_HOST_H_
