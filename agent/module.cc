// The module's only export, CreateMsgLogicEx.
#include <new>

#include "MsgLogic.h"
#include "MsgLogicEx.h"
#include "agent/msg_logic_agent.h"
#include "platform/env.h"

namespace msglogic {
namespace {

// The real environment, with the engine factory of the engine library this
// module is linked with.
class ModuleEnv final : public EnvWrapper {
 public:
  ModuleEnv() : EnvWrapper(Env::Default()) {}
  IMsgLogic* CreateMsgLogic() override { return ::CreateMsgLogic(); }
};

Env* TheModuleEnv() noexcept {
  // Built in place on first use and never destroyed (workers may outlive
  // every agent); not allocated, so that making it cannot fail.
  alignas(ModuleEnv) static unsigned char storage[sizeof(ModuleEnv)];
  static Env* env = new (storage) ModuleEnv;
  return env;
}

}  // namespace
}  // namespace msglogic

extern "C" MSGLOGICEX_API IMsgLogicEx* CreateMsgLogicEx(void) {
  msglogic::Env* env = msglogic::TheModuleEnv();
  if (env == nullptr) return nullptr;
  return msglogic::CMsgLogicAgent::Create(env);
}
