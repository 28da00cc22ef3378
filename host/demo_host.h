// The demo's callback object: prints every callback to the transcript and
// keeps a copy of it, so that the tour can wait for what it expects.
#ifndef MSGLOGIC_HOST_DEMO_HOST_H_
#define MSGLOGIC_HOST_DEMO_HOST_H_

#include <stddef.h>
#include <stdint.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "MsgLogicEx.h"
#include "host/transcript.h"

namespace demo {

// One callback, with copies of what it was given. Texts are UTF-8.
struct HostEvent {
  enum Kind { kFriendList, kEventA, kUserList, kText, kDetails, kEventB, kEventC, kEventD, kLost };
  Kind kind = kLost;
  int32_t user = 0;         // kEventA, kText, kDetails
  int32_t values[3] = {};   // kEventB (values[0]), kEventD, kFriendList (flag)
  std::string text;         // kEventA, kText
  std::vector<FriendInfo> friends;                     // kFriendList, kDetails
  std::vector<std::pair<int32_t, std::string>> users;  // kUserList
};

class DemoHost final : public IMsgLogicExCallback {
 public:
  explicit DemoHost(Transcript* out) : out_(out) {}

  // The callback does not say how many entries a friend list holds: the
  // agent puts the friends it passes on first and zero entries after them.
  // An answer to GetFriendList is read up to the first zero entry (so the
  // host relies on there being one); any other list, as a friend's update
  // is, holds one entry. Call this before GetFriendList.
  void ExpectFullList();

  // Index of the next event to arrive.
  size_t Mark();
  // Waits up to `ms` milliseconds for an event at index `from` or later that
  // `match` accepts; copies it to *found. False when none came.
  bool WaitFor(size_t from, const std::function<bool(const HostEvent&)>& match, int ms,
               HostEvent* found = nullptr);

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
  void Add(HostEvent event);

  Transcript* const out_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<HostEvent> events_;
  bool full_list_expected_ = false;
};

}  // namespace demo

#endif  // MSGLOGIC_HOST_DEMO_HOST_H_
