// AgentTest: a fixture with one agent in a FakeEnv, a recording host
// registered as its callback, fake engines, and a working directory for the
// login file. Every test ends by releasing the agent (unless the test did)
// and checking that no lock was ever nested outside the agent's order.
#ifndef MSGLOGIC_TESTS_SUPPORT_AGENT_FIXTURE_H_
#define MSGLOGIC_TESTS_SUPPORT_AGENT_FIXTURE_H_

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "agent/msg_logic_agent.h"
#include "tests/support/agent_peer.h"
#include "tests/support/fake_engine.h"
#include "tests/support/fake_env.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_dir.h"

namespace msglogic {
namespace testing {

class AgentTest : public ::testing::Test {
 protected:
  AgentTest() {
    env.SetWorkingDirectory(dir.path());
    env.SetEngineFactory([this] { return engines.NewEngine(); });
    agent = CMsgLogicAgent::Create(&env);
    agent->SetCallback(&host, MSG_IID_LOGICEX_CALLBACK);
  }
  ~AgentTest() override {
    ReleaseAgent();
    EXPECT_EQ(env.LockOrderViolations(), std::vector<std::string>());
  }

  // Releases the agent unless that has happened already.
  void ReleaseAgent() {
    if (agent != nullptr) agent->Release();
    agent = nullptr;
  }
  // Releases the agent from another host thread, advancing virtual time
  // until Release has returned (its bounded waits end in virtual time).
  void ReleaseFromAnotherThread() {
    std::atomic<bool> released{false};
    std::thread releaser([&] {
      agent->Release();
      released = true;
    });
    while (!released.load()) env.Advance(1000);
    releaser.join();
    agent = nullptr;
  }
  AgentPeer peer() const { return AgentPeer(agent); }
  IMsgLogicSink* sink() const { return peer().sink(); }

  // Writes the login file with `lines` under [loginInfo].
  void WriteLogin(const std::string& lines) {
    dir.Write("KWPMsg/loginInfo.ini", "[loginInfo]\r\n" + lines);
  }
  // Logs user 100 in by id and lets the new workers make their first pass.
  void ConnectOk() {
    WriteLogin("id1=100\r\nflag1=1\r\n");
    ASSERT_EQ(agent->Connect(100, 0), 0);
    env.Settle();
  }

  // Destroyed in reverse order: the env first, which waits for every thread
  // it started, then what those threads may still touch.
  TempDir dir;
  RecordingHost host;
  EngineLog engines;
  FakeEnv env;
  CMsgLogicAgent* agent = nullptr;
};

}  // namespace testing
}  // namespace msglogic

#endif  // MSGLOGIC_TESTS_SUPPORT_AGENT_FIXTURE_H_
