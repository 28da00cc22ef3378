// msglogic-demo: a small host that loads the agent library at run time,
// registers its callback object and releases the agent.
#include <cstdio>
#include <string>

#include "MsgLogicEx.h"
#include "host/load_library.h"

namespace {

class DemoCallback final : public IMsgLogicExCallback {
 public:
  void* GetInterface(int32_t id) override {
    return id == MSG_IID_LOGICEX_CALLBACK ? static_cast<IMsgLogicExCallback*>(this)
                                          : nullptr;
  }
  int32_t OnFriendList(int32_t, const FriendInfo*) override { return 0; }
  int32_t OnEventA(int32_t, const char*) override { return 0; }
  int32_t OnUserList(int32_t, const UserEntry*) override { return 0; }
  int32_t OnUserData(int32_t, int32_t, const void*) override { return 0; }
  int32_t OnEventB(int32_t) override { return 0; }
  int32_t OnEventC() override { return 0; }
  int32_t OnEventD(int32_t, int32_t, int32_t) override { return 0; }
  int32_t OnConnectionLost() override {
    std::printf("connection lost\n");
    return 0;
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  PFN_CreateMsgLogicEx create = demo::LoadAgentFactory(argc > 1 ? argv[1] : "", &error);
  if (create == nullptr) {
    std::fprintf(stderr, "msglogic-demo: %s\n", error.c_str());
    return 1;
  }
  IMsgLogicEx* agent = create();
  if (agent == nullptr) {
    std::fprintf(stderr, "msglogic-demo: CreateMsgLogicEx returned null\n");
    return 1;
  }
  std::printf("agent created\n");
  DemoCallback callback;
  IMsgLogicExCallback* registered = agent->SetCallback(&callback, MSG_IID_LOGICEX_CALLBACK);
  std::printf("callback registered: %s\n", registered == &callback ? "yes" : "no");
  std::printf("release: %d\n", static_cast<int>(agent->Release()));
  return registered == &callback ? 0 : 1;
}
