// The smallest complete host: logs user 10001 in with the saved login in
// ./KWPMsg/loginInfo.ini, asks for the friend list, waits for it, releases.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "MsgLogicEx.h"

class Host : public IMsgLogicExCallback {
 public:
  void* GetInterface(int32_t id) override {
    return id == MSG_IID_LOGICEX_CALLBACK ? static_cast<IMsgLogicExCallback*>(this) : nullptr;
  }
  // Called on an engine thread; the array is valid only during the call.
  int32_t OnFriendList(int32_t flag, const FriendInfo* friends) override {
    std::lock_guard<std::mutex> hold(mutex_);
    first_friend_ = (flag != 0 && friends != nullptr) ? friends[0].nUserId : 0;
    answered_ = true;
    changed_.notify_all();
    return 0;
  }
  int32_t OnEventA(int32_t, const char*) override { return 0; }
  int32_t OnUserList(int32_t, const UserEntry*) override { return 0; }
  int32_t OnUserData(int32_t, int32_t, const void*) override { return 0; }
  int32_t OnEventB(int32_t) override { return 0; }
  int32_t OnEventC() override { return 0; }
  int32_t OnEventD(int32_t, int32_t, int32_t) override { return 0; }
  int32_t OnConnectionLost() override { return 0; }

  // The first friend's id (0 for an empty list), or -1 after 5 s.
  int32_t WaitForFriendList() {
    std::unique_lock<std::mutex> hold(mutex_);
    bool ok = changed_.wait_for(hold, std::chrono::seconds(5), [this] { return answered_; });
    return ok ? first_friend_ : -1;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool answered_ = false;
  int32_t first_friend_ = 0;
};

int main() {
  IMsgLogicEx* agent = CreateMsgLogicEx();  // null when out of memory
  if (agent == nullptr) return 1;
  Host host;
  agent->SetCallback(&host, MSG_IID_LOGICEX_CALLBACK);
  int rc = agent->Connect(10001, 0);  // 0: logged in
  int32_t first = -1;
  if (rc == 0 && agent->GetFriendList() == 0) first = host.WaitForFriendList();
  std::printf("Connect %d, first friend %d\n", rc, static_cast<int>(first));
  agent->Release();  // no callback begins after this returns
  return first > 0 ? 0 : 2;
}
