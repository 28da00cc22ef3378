// OnUserInfo and OnSelfId on bounded views of the input, with texts queued
// for a few users beforehand through the host's SendText.
//
// Input: the OnUserInfo record (user id at 0, value at 4); bytes from 8 on
// are also given to OnSelfId. Texts are queued for users 1 and 2 and for
// the record's user; the answer must send that user's text once, with the
// record's value and the own id, and leave the others queued.
#include <map>
#include <string>

#include "events/record_view.h"
#include "fuzz/harness.h"

namespace fz = msglogic::fuzz;
namespace t = msglogic::testing;
using msglogic::CMsgLogicAgent;
using msglogic::RecordView;


extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CMsgLogicAgent* agent = fz::SharedLoggedInAgent();
  fz::BeginInput();
  msglogic::AgentPeer peer(agent);
  t::EngineLog& engines = fz::SharedEngines();
  IMsgLogicSink* sink = peer.sink();

  const int32_t none = -1;
  sink->OnSelfId(&none);
  int32_t self = -1;
  if (size > 8) {
    auto tail = fz::ExactCopy(data + 8, size - 8);
    FUZZ_CHECK_EQ(agent->OnSelfId(RecordView(tail.get(), size - 8)), 0);
    if (size >= 12) self = fz::Input(data + 8, 4).I32();
  }
  FUZZ_CHECK_EQ(peer.self_id(), self);

  fz::Input in(data, size);
  const int32_t user = in.I32();
  const int32_t value = in.I32();
  std::map<int32_t, std::string> queued;
  for (int32_t id : {1, 2}) queued[id] = "text for " + std::to_string(id);
  if (size >= 4) queued[user] = "text for the record's user";
  for (const auto& [id, text] : queued) FUZZ_CHECK_EQ(agent->SendText(id, text.c_str()), 1);
  FUZZ_CHECK_EQ(peer.pending_count(), queued.size());

  engines.Clear();
  auto record = fz::ExactCopy(data, size);
  FUZZ_CHECK_EQ(agent->OnUserInfo(RecordView(record.get(), size)), 1);
  const auto sent = engines.Calls(t::kSendText);
  if (size >= 8) {
    FUZZ_CHECK_EQ(sent.size(), 1u);
    FUZZ_CHECK(sent[0].args == (std::vector<int64_t>{user, 1, self, value}));
    FUZZ_CHECK_EQ(sent[0].text, queued[user]);
    queued.erase(user);
  } else {
    FUZZ_CHECK(sent.empty());
  }
  FUZZ_CHECK_EQ(peer.pending_count(), queued.size());
  for (const auto& [id, text] : queued) {
    std::string pending;
    FUZZ_CHECK(peer.find_pending(id, &pending));
    FUZZ_CHECK_EQ(pending, text);
  }

  // Whatever is left goes out now, each text once.
  for (const auto& entry : queued) {
    const int32_t answer[2] = {entry.first, 0};
    FUZZ_CHECK_EQ(sink->OnUserInfo(answer), 1);
  }
  FUZZ_CHECK_EQ(peer.pending_count(), 0u);
  FUZZ_CHECK_EQ(engines.Count(t::kSendText), static_cast<int>(sent.size() + queued.size()));
  fz::CheckNoLockOrderViolation(fz::SharedEnv());
  return 0;
}
