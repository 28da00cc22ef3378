// What every fuzz target shares: a failure report that stops the run, a
// reader over the fuzzer's bytes, agents in a FakeEnv with a recording host
// and engine, and reference decoders of the engine records written from the
// record layouts alone, so each target can say what the agent should have
// done with an input and compare.
#ifndef MSGLOGIC_FUZZ_HARNESS_H_
#define MSGLOGIC_FUZZ_HARNESS_H_

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "MsgLogicEx.h"
#include "agent/msg_logic_agent.h"
#include "tests/support/agent_peer.h"
#include "tests/support/fake_engine.h"
#include "tests/support/fake_env.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_dir.h"

namespace msglogic {
namespace fuzz {

// Reports a broken expectation and aborts, so libFuzzer keeps the input.
[[noreturn]] void Fail(const char* file, int line, const std::string& what);

#define FUZZ_CHECK(cond)                                                 \
  do {                                                                   \
    if (!(cond)) ::msglogic::fuzz::Fail(__FILE__, __LINE__, #cond);      \
  } while (0)
#define FUZZ_CHECK_EQ(a, b)                                                     \
  do {                                                                          \
    const auto& fuzz_a_ = (a);                                                  \
    const auto& fuzz_b_ = (b);                                                  \
    if (!(fuzz_a_ == fuzz_b_)) {                                                \
      ::msglogic::fuzz::Fail(__FILE__, __LINE__,                                \
                             std::string(#a " == " #b ": ") +                   \
                                 ::msglogic::fuzz::Show(fuzz_a_) + " vs " +     \
                                 ::msglogic::fuzz::Show(fuzz_b_));              \
    }                                                                           \
  } while (0)

std::string Show(int64_t v);
std::string Show(const std::string& s);
template <typename T>
std::string Show(const T& v) {
  return Show(static_cast<int64_t>(v));
}

// Takes fixed-width little-endian values from the front of the input;
// reads past the end give zeros.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : p_(data), n_(size) {}
  uint8_t U8();
  uint16_t U16();
  uint32_t U32();
  int32_t I32() { return static_cast<int32_t>(U32()); }
  // Up to n bytes.
  std::string Take(size_t n);
  bool empty() const { return n_ == 0; }
  size_t remaining() const { return n_; }
  const uint8_t* data() const { return p_; }

 private:
  const uint8_t* p_;
  size_t n_;
};

// An exact-size heap copy of bytes, so that AddressSanitizer sees any read
// past the end of a record.
std::unique_ptr<uint8_t[]> ExactCopy(const uint8_t* data, size_t size);

// --- Reference decoders ---

struct RefFriend {
  int32_t id = 0;
  int32_t value = 0;
  int32_t info_a = 0;
  uint16_t info_b = 0;
  int32_t info_c = 0;
  uint8_t status = 0;
  std::string name, display_name, long_text;  // UTF-8, as in the record
  size_t size = 0;                            // bytes of the record
};

// The friend record at p (n bytes available); false when it is not whole.
bool RefReadFriend(const uint8_t* p, size_t n, RefFriend* out);
// A friend list: false when the count cannot be read or the records are
// not all whole. `count` is set whenever the count can be read.
bool RefReadFriendList(const uint8_t* p, size_t n, uint32_t* count,
                       std::vector<RefFriend>* out);
// The FriendInfo the host should get for `f`, texts converted to GB2312.
FriendInfo ExpectedFriendInfo(const RefFriend& f, bool in_list);
// Every FriendInfo the agent hands out: texts terminated in their fields,
// reserved bytes zero.
void CheckFriendInfoShape(const FriendInfo& info);
std::string RawFriend(const FriendInfo& info);

struct RefUser {
  int32_t id = 0;
  uint8_t kind = 0;
  std::string name;  // UTF-8, as in the record
};
// A user list: false when it is not passed on (no count, a count of 0 or
// less, or entries that are not whole).
bool RefReadUserList(const uint8_t* p, size_t n, std::vector<RefUser>* out);

// What a host reading a C string from `bytes` sees.
std::string UpToNul(const std::string& bytes);
// The bounded UTF-8 -> GB2312 conversion into a field of cap bytes, as a
// host reads it back (up to the first NUL).
std::string GbField(const std::string& utf8, size_t cap);
// The same conversion of the whole text, NULs included, read back up to the
// first NUL of the result.
std::string GbWhole(const std::string& utf8, size_t cap);

// --- Agents under test ---

// The process-wide FakeEnv of targets that never start a thread, with a
// login folder and an engine log; never destroyed.
testing::FakeEnv& SharedEnv();
testing::EngineLog& SharedEngines();
testing::TempDir& SharedDir();

// Clears what SharedEnv() and SharedEngines() recorded for the last input,
// so that nothing grows from one input to the next.
void BeginInput();

// An agent in SharedEnv() logged in (user 100, by id) for the whole run,
// with no host callback.
CMsgLogicAgent* SharedLoggedInAgent();

// One fresh agent in SharedEnv() with a recording host registered; released
// (and the lock order checked) when it goes out of scope.
class FreshAgent {
 public:
  FreshAgent();
  ~FreshAgent();
  FreshAgent(const FreshAgent&) = delete;
  FreshAgent& operator=(const FreshAgent&) = delete;

  CMsgLogicAgent* agent() const { return agent_; }
  AgentPeer peer() const { return AgentPeer(agent_); }
  testing::RecordingHost& host() { return host_; }

 private:
  testing::RecordingHost host_;
  CMsgLogicAgent* agent_ = nullptr;
};

void CheckNoLockOrderViolation(testing::FakeEnv& env);

}  // namespace fuzz
}  // namespace msglogic

#endif  // MSGLOGIC_FUZZ_HARNESS_H_
