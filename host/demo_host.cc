#include "host/demo_host.h"

#include <chrono>

namespace demo {
namespace {

// A bound on the entries read from one friend list.
constexpr size_t kMaxFriends = 1024;

}  // namespace

void DemoHost::ExpectFullList() {
  std::lock_guard<std::mutex> hold(mu_);
  full_list_expected_ = true;
}

size_t DemoHost::Mark() {
  std::lock_guard<std::mutex> hold(mu_);
  return events_.size();
}

bool DemoHost::WaitFor(size_t from, const std::function<bool(const HostEvent&)>& match, int ms,
                       HostEvent* found) {
  std::unique_lock<std::mutex> lock(mu_);
  size_t checked = from;
  return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
    for (; checked < events_.size(); ++checked) {
      if (match(events_[checked])) {
        if (found != nullptr) *found = events_[checked];
        return true;
      }
    }
    return false;
  });
}

void DemoHost::Add(HostEvent event) {
  {
    std::lock_guard<std::mutex> hold(mu_);
    events_.push_back(std::move(event));
  }
  cv_.notify_all();
}

void* DemoHost::GetInterface(int32_t id) {
  return id == MSG_IID_LOGICEX_CALLBACK ? static_cast<IMsgLogicExCallback*>(this) : nullptr;
}

int32_t DemoHost::OnFriendList(int32_t flag, const FriendInfo* friends) {
  HostEvent event;
  event.kind = HostEvent::kFriendList;
  event.values[0] = flag;
  bool full;
  {
    std::lock_guard<std::mutex> hold(mu_);
    full = full_list_expected_;
    full_list_expected_ = false;
  }
  if (flag != 0 && friends != nullptr) {
    const size_t limit = full ? kMaxFriends : 1;
    for (size_t i = 0; i < limit && friends[i].nUserId != 0; ++i) event.friends.push_back(friends[i]);
  }
  std::string line = "< OnFriendList(" + std::to_string(flag) + "): ";
  line += full ? std::to_string(event.friends.size()) + " friends"
               : std::string("a friend's update");
  for (const FriendInfo& f : event.friends) line += "\n             " + Describe(f);
  out_->Line(line);
  Add(std::move(event));
  return 0;
}

int32_t DemoHost::OnEventA(int32_t userId, const char* text) {
  HostEvent event;
  event.kind = HostEvent::kEventA;
  event.user = userId;
  event.text = Utf8(text);
  out_->Line("< OnEventA(" + std::to_string(userId) + ", \"" + event.text + "\")");
  Add(std::move(event));
  return 0;
}

int32_t DemoHost::OnUserList(int32_t count, const UserEntry* users) {
  HostEvent event;
  event.kind = HostEvent::kUserList;
  std::string line = "< OnUserList(" + std::to_string(count) + "):";
  for (int32_t i = 0; users != nullptr && i < count; ++i) {
    event.users.emplace_back(users[i].nUserId, Utf8(users[i].pszName));
    line += " " + std::to_string(users[i].nUserId) + " " + event.users.back().second + ";";
  }
  out_->Line(line);
  Add(std::move(event));
  return 0;
}

int32_t DemoHost::OnUserData(int32_t userId, int32_t kind, const void* data) {
  HostEvent event;
  event.user = userId;
  if (kind == 1) {
    event.kind = HostEvent::kDetails;
    const FriendInfo* info =
        data != nullptr ? *static_cast<const FriendInfo* const*>(data) : nullptr;
    if (info != nullptr) event.friends.push_back(*info);
    out_->Line("< OnUserData(" + std::to_string(userId) + ", details): " +
               (info != nullptr ? Describe(*info) : std::string("none")));
  } else {
    event.kind = HostEvent::kText;
    event.text = Utf8(static_cast<const char*>(data));
    out_->Line("< OnUserData(" + std::to_string(userId) + ", text): \"" + event.text + "\"");
  }
  Add(std::move(event));
  return 0;
}

int32_t DemoHost::OnEventB(int32_t value) {
  HostEvent event;
  event.kind = HostEvent::kEventB;
  event.values[0] = value;
  out_->Line("< OnEventB(" + std::to_string(value) + ")");
  Add(std::move(event));
  return 0;
}

int32_t DemoHost::OnEventC() {
  HostEvent event;
  event.kind = HostEvent::kEventC;
  out_->Line("< OnEventC()");
  Add(std::move(event));
  return 0;
}

int32_t DemoHost::OnEventD(int32_t a, int32_t b, int32_t c) {
  HostEvent event;
  event.kind = HostEvent::kEventD;
  event.values[0] = a;
  event.values[1] = b;
  event.values[2] = c;
  out_->Line("< OnEventD(" + std::to_string(a) + ", " + std::to_string(b) + ", " +
             std::to_string(c) + ")");
  Add(std::move(event));
  return 0;
}

int32_t DemoHost::OnConnectionLost() {
  out_->Line("< OnConnectionLost()");
  Add(HostEvent());
  return 0;
}

}  // namespace demo
