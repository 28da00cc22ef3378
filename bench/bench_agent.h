// An agent set up as a host runs it, for the benchmarks of msglogicex_core.
//
// The agent works through the real environment (its locks are the real
// recursive locks, its workers real threads); only two things are replaced:
// the saved-login lookup answers from memory, and the engine is BenchEngine,
// which does nothing with what it gets beyond counting it, keeps the
// connection alive from a thread of its own, and hands the benchmark the
// agent's event sink so the benchmark can play the engine's threads.
#ifndef MSGLOGIC_BENCH_BENCH_AGENT_H_
#define MSGLOGIC_BENCH_BENCH_AGENT_H_

#include <stdint.h>

#include <atomic>

#include "MsgLogic.h"
#include "MsgLogicEx.h"
#include "platform/env.h"

namespace msglogic {
namespace bench {

// Counts what the agent hands the engine; shared by every BenchEngine.
struct EngineCounters {
  std::atomic<uint64_t> texts{0};
  std::atomic<uint64_t> user_info_requests{0};
  std::atomic<uint64_t> room_bytes{0};
};
EngineCounters& Counters();

// A host that takes what it is given and drops it, touching just enough of
// it that the work cannot be skipped.
class NullHost final : public IMsgLogicExCallback {
 public:
  void* GetInterface(int32_t id) override;
  int32_t OnFriendList(int32_t flag, const FriendInfo* friends) override;
  int32_t OnEventA(int32_t, const char*) override { return 0; }
  int32_t OnUserList(int32_t, const UserEntry*) override { return 0; }
  int32_t OnUserData(int32_t, int32_t, const void*) override { return 0; }
  int32_t OnEventB(int32_t) override { return 0; }
  int32_t OnEventC() override { return 0; }
  int32_t OnEventD(int32_t, int32_t, int32_t) override { return 0; }
  int32_t OnConnectionLost() override;

  std::atomic<uint64_t> friend_lists{0};
  std::atomic<uint64_t> connection_losses{0};
};

// One logged-in agent (user 100) on the real environment. Aborts the
// program when the login fails: nothing would be measured.
class BenchAgent {
 public:
  BenchAgent();
  ~BenchAgent();
  BenchAgent(const BenchAgent&) = delete;
  BenchAgent& operator=(const BenchAgent&) = delete;

  IMsgLogicEx* agent() const { return agent_; }
  // The sink the agent gave its engine: what the engine's threads call.
  IMsgLogicSink* sink() const { return sink_; }
  NullHost& host() { return host_; }

 private:
  NullHost host_;
  IMsgLogicEx* agent_ = nullptr;
  IMsgLogicSink* sink_ = nullptr;
};

}  // namespace bench
}  // namespace msglogic

#endif  // MSGLOGIC_BENCH_BENCH_AGENT_H_
