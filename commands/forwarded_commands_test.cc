// The commands passed to the engine as they come.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/agent_fixture.h"

namespace msglogic {
namespace testing {
namespace {

using ForwardedCommandsTest = AgentTest;

TEST_F(ForwardedCommandsTest, EachCommandReachesItsEngineOperationWithItsArgument) {
  ConnectOk();
  engines.Clear();
  EXPECT_EQ(agent->ForwardRequestA(-7), 0);
  EXPECT_EQ(agent->ForwardRequestB(INT32_MIN), 0);
  EXPECT_EQ(agent->ForwardRequestC(), 0);
  EXPECT_EQ(agent->GetFriendList(), 0);
  auto calls = engines.Calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].slot, kRequestA);
  EXPECT_EQ(calls[0].args, (std::vector<int64_t>{-7}));
  EXPECT_EQ(calls[1].slot, kRequestB);
  EXPECT_EQ(calls[1].args, (std::vector<int64_t>{INT32_MIN}));
  EXPECT_EQ(calls[2].slot, kRequestC);
  EXPECT_EQ(calls[3].slot, kGetFriendList);
}

TEST_F(ForwardedCommandsTest, GetFriendListTracesItsEntryAndItsResult) {
  ConnectOk();
  env.ClearTraces();
  agent->GetFriendList();
  EXPECT_EQ(env.Traces(), (std::vector<std::string>{"CMsgLogicAgent::GetFriendList",
                                                    "CMsgLogicAgent::GetFriendList:retval = 0 "}));
}

TEST_F(ForwardedCommandsTest, AfterALossTheCommandsAreRefusedAgain) {
  ConnectOk();
  peer().Reset();
  engines.Clear();
  EXPECT_EQ(agent->ForwardRequestA(1), -1);
  EXPECT_EQ(agent->ForwardRequestB(1), -1);
  EXPECT_EQ(agent->ForwardRequestC(), -1);
  EXPECT_EQ(agent->GetFriendList(), -1);
  EXPECT_TRUE(engines.Calls().empty());
}

}  // namespace
}  // namespace testing
}  // namespace msglogic
