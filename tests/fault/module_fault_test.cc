// CreateMsgLogicEx, the module's export, with the k-th allocation failing
// for every k of its first calls in a fresh process: it answers null when
// the agent cannot be had, never ends the process, and a failure once does
// not keep later calls from working.
#include <gtest/gtest.h>

#include "MsgLogicEx.h"
#include "tests/fault/fault_alloc.h"

namespace msglogic {
namespace testing {
namespace {

TEST(ModuleFault, CreateMsgLogicExRecoversFromEveryFailedAllocation) {
  // Nothing in this process has made the module's environment yet.
  uint64_t k = 1;
  for (;; ++k) {
    ASSERT_LT(k, 1000u);
    fault::Arm(k);
    IMsgLogicEx* agent = CreateMsgLogicEx();
    const bool failed = fault::Failed();
    fault::Disarm();
    if (agent == nullptr) {
      EXPECT_TRUE(failed) << "null without a failure at allocation " << k;
      continue;
    }
    EXPECT_EQ(agent->Release(), 0);
    if (!failed) break;  // every allocation of a creation has failed once
  }
  EXPECT_GT(k, 2u);
  IMsgLogicEx* agent = CreateMsgLogicEx();
  ASSERT_NE(agent, nullptr);
  EXPECT_EQ(agent->GetInterface(MSG_IID_LOGICEX), static_cast<void*>(agent));
  agent->Release();
}

}  // namespace
}  // namespace testing
}  // namespace msglogic
