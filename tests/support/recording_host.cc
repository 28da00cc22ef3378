#include "tests/support/recording_host.h"

namespace msglogic {
namespace testing {

std::vector<HostEvent> RecordingHost::Events() {
  std::lock_guard<std::mutex> hold(mu_);
  return events_;
}

std::vector<HostEvent> RecordingHost::Events(int slot) {
  std::lock_guard<std::mutex> hold(mu_);
  std::vector<HostEvent> out;
  for (const HostEvent& event : events_) {
    if (event.slot == slot) out.push_back(event);
  }
  return out;
}

int RecordingHost::Count(int slot) { return static_cast<int>(Events(slot).size()); }

void RecordingHost::Clear() {
  std::lock_guard<std::mutex> hold(mu_);
  events_.clear();
}

int RecordingHost::interface_queries() {
  std::lock_guard<std::mutex> hold(mu_);
  return interface_queries_;
}

int32_t RecordingHost::Deliver(HostEvent event) {
  event.thread = std::this_thread::get_id();
  {
    std::lock_guard<std::mutex> hold(mu_);
    events_.push_back(event);
  }
  if (hook) hook(event);
  return 0;
}

void* RecordingHost::GetInterface(int32_t id) {
  {
    std::lock_guard<std::mutex> hold(mu_);
    ++interface_queries_;
  }
  if (id == MSG_IID_LOGICEX_CALLBACK && answer_interface) {
    return static_cast<IMsgLogicExCallback*>(this);
  }
  return nullptr;
}

int32_t RecordingHost::OnFriendList(int32_t flag, const FriendInfo* friends) {
  HostEvent event;
  event.slot = kOnFriendList;
  event.args = {flag};
  event.pointer = friends;
  if (friends != nullptr) event.friends.assign(friends, friends + friend_entries);
  return Deliver(std::move(event));
}

int32_t RecordingHost::OnEventA(int32_t userId, const char* text) {
  HostEvent event;
  event.slot = kOnEventA;
  event.args = {userId};
  event.pointer = text;
  if (text != nullptr) event.text = text;
  return Deliver(std::move(event));
}

int32_t RecordingHost::OnUserList(int32_t count, const UserEntry* users) {
  HostEvent event;
  event.slot = kOnUserList;
  event.args = {count};
  event.pointer = users;
  for (int32_t i = 0; users != nullptr && i < count; ++i) {
    event.users.emplace_back(users[i].nUserId,
                             users[i].pszName != nullptr ? users[i].pszName : "");
  }
  return Deliver(std::move(event));
}

int32_t RecordingHost::OnUserData(int32_t userId, int32_t kind, const void* data) {
  HostEvent event;
  event.slot = kOnUserData;
  event.args = {userId, kind};
  event.pointer = data;
  if (data != nullptr && kind == 0) event.text = static_cast<const char*>(data);
  if (data != nullptr && kind == 1) {
    const FriendInfo* info = *static_cast<const FriendInfo* const*>(data);
    if (info != nullptr) event.friends.push_back(*info);
  }
  return Deliver(std::move(event));
}

int32_t RecordingHost::OnEventB(int32_t value) {
  HostEvent event;
  event.slot = kOnEventB;
  event.args = {value};
  return Deliver(std::move(event));
}

int32_t RecordingHost::OnEventC() {
  HostEvent event;
  event.slot = kOnEventC;
  return Deliver(std::move(event));
}

int32_t RecordingHost::OnEventD(int32_t a, int32_t b, int32_t c) {
  HostEvent event;
  event.slot = kOnEventD;
  event.args = {a, b, c};
  return Deliver(std::move(event));
}

int32_t RecordingHost::OnConnectionLost() {
  HostEvent event;
  event.slot = kOnConnectionLost;
  return Deliver(std::move(event));
}

}  // namespace testing
}  // namespace msglogic
