// The module's only export, CreateMsgLogicEx.
#include <atomic>
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
  // Made by the first call that can have the memory, and never destroyed:
  // workers may outlive every agent. A call that cannot have it answers null
  // and the next one tries again.
  static std::atomic<Env*> env{nullptr};
  Env* current = env.load(std::memory_order_acquire);
  if (current != nullptr) return current;
  Env* fresh = new (std::nothrow) ModuleEnv;
  if (fresh == nullptr) return nullptr;
  if (!env.compare_exchange_strong(current, fresh, std::memory_order_acq_rel)) {
    delete fresh;  // another thread's came first
    return current;
  }
  return fresh;
}

}  // namespace
}  // namespace msglogic

extern "C" MSGLOGICEX_API IMsgLogicEx* CreateMsgLogicEx(void) {
  msglogic::Env* env = msglogic::TheModuleEnv();
  if (env == nullptr) return nullptr;
  return msglogic::CMsgLogicAgent::Create(env);
}
