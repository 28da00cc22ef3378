// Connect: the saved-login search, the engine object, the two logins, the
// result codes and their trace lines, byte for byte.
#include <gtest/gtest.h>

#include <thread>

#include "tests/support/agent_fixture.h"

namespace msglogic {
namespace testing {
namespace {

using Traces = std::vector<std::string>;

class ConnectTest : public AgentTest {
 protected:
  // The engine calls of the last Connect, by slot.
  std::vector<int> Slots() {
    std::vector<int> out;
    for (const EngineCall& call : engines.Calls()) out.push_back(call.slot);
    return out;
  }
  std::string NameSent() {
    auto calls = engines.Calls(kLoginByName);
    return calls.empty() ? "<none>" : calls.back().text;
  }
};

TEST_F(ConnectTest, WithoutLoginFileTheEngineIsMadeAndAttachedAndTheCodeIsThree) {
  EXPECT_EQ(agent->Connect(100, 0), 3);
  EXPECT_EQ(env.Traces(), (Traces{"CMsgLogicAgent::Connect", "connect failed:return 3"}));
  EXPECT_EQ(Slots(), (std::vector<int>{kSetSink}));
  EXPECT_EQ(engines.sink(), sink());
  EXPECT_NE(peer().engine(), nullptr);

  EXPECT_EQ(agent->Connect(100, 0), 3);  // same engine, no second SetSink
  EXPECT_EQ(engines.engines_created(), 1);
  EXPECT_EQ(engines.Count(kSetSink), 1);
  EXPECT_FALSE(peer().enabled());
  EXPECT_EQ(env.ThreadsStarted(), 0);
}

TEST_F(ConnectTest, IdLoginSucceedsWithItsTraceAndEngineCallsInOrder) {
  WriteLogin("id1=100\r\nflag1=1\r\n");
  EXPECT_EQ(agent->Connect(100, 0x55), 0);
  EXPECT_EQ(env.Traces(), (Traces{"CMsgLogicAgent::Connect", "connect suc!"}));
  EXPECT_EQ(Slots(), (std::vector<int>{kSetSink, kLoginById, kStart}));
  EXPECT_EQ(engines.Calls(kLoginById)[0].args, (std::vector<int64_t>{100, 0x55}));
  EXPECT_TRUE(peer().enabled());
  EXPECT_TRUE(peer().thread_run());
  EXPECT_TRUE(peer().supervise_thread());
  EXPECT_TRUE(peer().release_thread());
}

TEST_F(ConnectTest, NameLoginSendsTheHexNameThenSetsTheUserId) {
  WriteLogin("id1=100\r\nflag1=0\r\nname1=abc\r\n");
  EXPECT_EQ(agent->Connect(100, -7), 0);
  EXPECT_EQ(Slots(), (std::vector<int>{kSetSink, kLoginByName, kSetUserId, kStart}));
  EXPECT_EQ(NameSent(), "0X616263");
  EXPECT_EQ(engines.Calls(kLoginByName)[0].args, (std::vector<int64_t>{-7}));
  EXPECT_EQ(engines.Calls(kSetUserId)[0].args, (std::vector<int64_t>{100}));
}

TEST_F(ConnectTest, HexNameIsEveryByteAsTwoUpperCaseDigits) {
  WriteLogin(std::string("id1=100\r\nflag1=0\r\nname1=\xD6\x01z\xFF\r\n"));
  EXPECT_EQ(agent->Connect(100, 0), 0);
  EXPECT_EQ(NameSent(), "0XD6017AFF");
}

TEST_F(ConnectTest, MissingNameSendsTheBarePrefix) {
  WriteLogin("id1=100\r\nflag1=0\r\n");
  EXPECT_EQ(agent->Connect(100, 0), 0);
  EXPECT_EQ(NameSent(), "0X");
}

TEST_F(ConnectTest, OnlyLowerCaseIdKeysMatch) {
  WriteLogin("ID5=100\r\nId5=100\r\nflag5=1\r\n");
  EXPECT_EQ(agent->Connect(100, 0), 3);
  WriteLogin("ID5=100\r\nid5=100\r\nflag5=1\r\n");
  EXPECT_EQ(agent->Connect(100, 0), 0);
}

TEST_F(ConnectTest, FirstMatchingEntryInFileOrderDecides) {
  WriteLogin("id9=100\r\nid2=100\r\nflag2=1\r\nflag9=0\r\nname9=first\r\n");
  EXPECT_EQ(agent->Connect(100, 0), 0);
  EXPECT_EQ(NameSent(), "0X6669727374");
  EXPECT_EQ(engines.Count(kLoginById), 0);
}

TEST_F(ConnectTest, NumberAfterIdIsDecimal) {
  WriteLogin("id007=100\r\nflag7=0\r\nname7=x\r\nflag0=1\r\n");
  EXPECT_EQ(agent->Connect(100, 0), 0);
  EXPECT_EQ(NameSent(), "0X78");
}

TEST_F(ConnectTest, KeyIdAloneOrIdeaLeadsToGroupZero) {
  WriteLogin("id=100\r\nflag0=0\r\nname0=z\r\n");
  EXPECT_EQ(agent->Connect(100, 0), 0);
  EXPECT_EQ(NameSent(), "0X7A");
  WriteLogin("idea=100\r\nflag0=1\r\n");
  EXPECT_EQ(agent->Connect(100, 0), 0);
  EXPECT_EQ(engines.Count(kLoginById), 1);
}

TEST_F(ConnectTest, NonNumericIdValueMatchesUserZero) {
  WriteLogin("id1=abc\r\nflag1=1\r\n");
  EXPECT_EQ(agent->Connect(5, 0), 3);
  EXPECT_EQ(agent->Connect(0, 0), 0);
  WriteLogin("id1=42abc\r\nflag1=1\r\n");  // digits up to the first other byte
  EXPECT_EQ(agent->Connect(42, 0), 0);
}

TEST_F(ConnectTest, MissingOrNonNumericFlagMeansNameLoginAndOtherFlagsAreUnusable) {
  WriteLogin("id1=100\r\nname1=n\r\n");
  EXPECT_EQ(agent->Connect(100, 0), 0);
  EXPECT_EQ(engines.Count(kLoginByName), 1);
  WriteLogin("id1=100\r\nflag1=yes\r\n");
  EXPECT_EQ(agent->Connect(100, 0), 0);
  EXPECT_EQ(engines.Count(kLoginByName), 2);
  WriteLogin("id1=100\r\nflag1=2\r\n");
  EXPECT_EQ(agent->Connect(100, 0), 3);
  WriteLogin("id1=100\r\nflag1=-1\r\n");
  EXPECT_EQ(agent->Connect(100, 0), 3);
}

TEST_F(ConnectTest, EveryLoginResultButTwoFailsWithItsCode) {
  for (int32_t result : {0, 1, 3, -1, 0x102}) {
    SCOPED_TRACE(result);
    engines.login_by_name_result = result;
    engines.login_by_id_result = result;
    env.ClearTraces();
    WriteLogin("id1=100\r\nflag1=0\r\n");
    EXPECT_EQ(agent->Connect(100, 0), 1);
    EXPECT_EQ(env.Traces(), (Traces{"CMsgLogicAgent::Connect", "connect failed:return 1"}));
    env.ClearTraces();
    WriteLogin("id1=100\r\nflag1=1\r\n");
    EXPECT_EQ(agent->Connect(100, 0), 2);
    EXPECT_EQ(env.Traces(), (Traces{"CMsgLogicAgent::Connect", "connect failed:return 2"}));
  }
  // Refused logins leave the engine attached and the agent offline.
  EXPECT_EQ(engines.Count(kSetUserId), 0);
  EXPECT_EQ(engines.Count(kStart), 0);
  EXPECT_EQ(engines.engines_alive(), 1);
  EXPECT_FALSE(peer().enabled());
  EXPECT_EQ(env.ThreadsStarted(), 0);
}

TEST_F(ConnectTest, NoEngineGivesFourAndOnlyTheEntryTrace) {
  env.SetEngineFactory([] { return nullptr; });
  WriteLogin("id1=100\r\nflag1=1\r\n");
  EXPECT_EQ(agent->Connect(100, 0), 4);
  EXPECT_EQ(env.Traces(), (Traces{"CMsgLogicAgent::Connect"}));
  EXPECT_EQ(peer().engine(), nullptr);
  EXPECT_FALSE(peer().enabled());
}

TEST_F(ConnectTest, SecondSuccessfulConnectRenewsStampsAndStartsNoThreads) {
  env.SetCalendar(1000);
  ConnectOk();
  env.SetCalendar(1010);
  EXPECT_EQ(agent->Connect(100, 0), 0);
  EXPECT_EQ(peer().last_active(), 1010);
  EXPECT_EQ(peer().last_keep_alive(), 1010);
  EXPECT_EQ(env.ThreadsStarted(), 2);
  EXPECT_EQ(engines.Count(kSetSink), 1);
  EXPECT_EQ(engines.Count(kLoginById), 2);
}

TEST_F(ConnectTest, FailedLoginKeepsTheStateItFound) {
  ConnectOk();
  engines.login_by_id_result = 0;
  EXPECT_EQ(agent->Connect(100, 0), 2);
  EXPECT_TRUE(peer().enabled());  // online stays online

  peer().Reset();
  EXPECT_EQ(agent->Connect(100, 0), 2);
  EXPECT_FALSE(peer().enabled());  // offline stays offline
}

TEST_F(ConnectTest, OverlappingConnectsMakeOneEngineAndStartEachWorkerOnce) {
  WriteLogin("id1=100\r\nflag1=1\r\n");
  std::vector<std::thread> hosts;
  std::vector<int32_t> results(8, -9);
  for (int i = 0; i < 8; ++i) {
    hosts.emplace_back([this, i, &results] { results[i] = agent->Connect(100, i); });
  }
  for (auto& t : hosts) t.join();
  env.Settle();
  for (int32_t r : results) EXPECT_EQ(r, 0);
  EXPECT_EQ(engines.engines_created(), 1);
  EXPECT_EQ(engines.Count(kSetSink), 1);
  EXPECT_EQ(env.ThreadsStarted(), 2);
}

TEST_F(ConnectTest, LoginFileIsReadAgainAtEveryConnect) {
  WriteLogin("id1=100\r\nflag1=1\r\n");
  EXPECT_EQ(agent->Connect(200, 0), 3);
  WriteLogin("id1=100\r\nid2=200\r\nflag2=1\r\n");
  EXPECT_EQ(agent->Connect(200, 0), 0);
}

TEST_F(ConnectTest, ExtremeIdValuesAreClampedLikeTheRuntimesConversion) {
  WriteLogin("id1=99999999999\r\nflag1=1\r\nid2=-99999999999\r\nflag2=1\r\n");
  EXPECT_EQ(agent->Connect(INT32_MAX, 0), 0);
  EXPECT_EQ(agent->Connect(INT32_MIN, 0), 0);
  EXPECT_EQ(engines.Count(kLoginById), 2);
}

}  // namespace
}  // namespace testing
}  // namespace msglogic
