// OnUserList on a bounded view of the input: an int32 count, then entries
// of (int32 id, uint8 kind, uint32 length, name). The host gets the kind-1
// users in order with their names in GB2312, and nothing for a list that is
// empty or does not hold its entries whole.
#include <utility>
#include <vector>

#include "events/record_view.h"
#include "fuzz/harness.h"

namespace fz = msglogic::fuzz;
namespace t = msglogic::testing;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto list = fz::ExactCopy(data, size);
  fz::FreshAgent a;
  FUZZ_CHECK_EQ(a.agent()->OnUserList(msglogic::RecordView(list.get(), size)), 0);

  std::vector<fz::RefUser> users;
  const auto events = a.host().Events();
  if (!fz::RefReadUserList(data, size, &users)) {
    FUZZ_CHECK(events.empty());
    return 0;
  }
  std::vector<std::pair<int32_t, std::string>> expected;
  for (const fz::RefUser& u : users) {
    // A name converts to at most as many bytes as it has.
    if (u.kind == 1) expected.emplace_back(u.id, fz::GbWhole(u.name, u.name.size()));
  }
  FUZZ_CHECK_EQ(events.size(), 1u);
  FUZZ_CHECK_EQ(events[0].slot, t::kOnUserList);
  FUZZ_CHECK_EQ(events[0].args[0], static_cast<int64_t>(expected.size()));
  FUZZ_CHECK(events[0].pointer != nullptr);
  FUZZ_CHECK_EQ(events[0].users.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    FUZZ_CHECK_EQ(events[0].users[i].first, expected[i].first);
    FUZZ_CHECK_EQ(events[0].users[i].second, expected[i].second);
  }
  return 0;
}
