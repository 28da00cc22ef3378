// Creates an agent through the installed library, registers a callback,
// and releases the agent.
#include <cstdio>

#include "MsgLogicEx.h"

namespace {

class Callback final : public IMsgLogicExCallback {
 public:
  void* GetInterface(int32_t id) override {
    return id == MSG_IID_LOGICEX_CALLBACK ? static_cast<IMsgLogicExCallback*>(this) : nullptr;
  }
  int32_t OnFriendList(int32_t, const FriendInfo*) override { return 0; }
  int32_t OnEventA(int32_t, const char*) override { return 0; }
  int32_t OnUserList(int32_t, const UserEntry*) override { return 0; }
  int32_t OnUserData(int32_t, int32_t, const void*) override { return 0; }
  int32_t OnEventB(int32_t) override { return 0; }
  int32_t OnEventC() override { return 0; }
  int32_t OnEventD(int32_t, int32_t, int32_t) override { return 0; }
  int32_t OnConnectionLost() override { return 0; }
};

}  // namespace

int main() {
  IMsgLogicEx* agent = CreateMsgLogicEx();
  if (agent == nullptr) {
    std::puts("CreateMsgLogicEx returned null");
    return 1;
  }
  Callback callback;
  const bool registered = agent->SetCallback(&callback, MSG_IID_LOGICEX_CALLBACK) == &callback;
  // Not logged in: commands are refused.
  const bool refused = agent->GetFriendList() == -1;
  agent->Release();
  if (!registered || !refused) {
    std::printf("registered %d, refused %d\n", registered, refused);
    return 2;
  }
  std::printf("package host: ok (%d-bit)\n", static_cast<int>(8 * sizeof(void*)));
  return 0;
}
