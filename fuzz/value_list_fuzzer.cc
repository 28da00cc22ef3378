// OnFriendValues on a bounded view of the input: a uint32 count, then that
// many (user id, value) pairs. The count is returned whenever it can be
// read; the pairs are stored, the last one of a user winning, only when the
// list holds them all.
#include <map>

#include "events/record_view.h"
#include "fuzz/harness.h"

namespace fz = msglogic::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto list = fz::ExactCopy(data, size);
  fz::FreshAgent a;
  const int32_t result = a.agent()->OnFriendValues(msglogic::RecordView(list.get(), size));

  fz::Input in(data, size);
  const uint32_t count = in.U32();
  FUZZ_CHECK_EQ(result, size < 4 ? 0 : static_cast<int32_t>(count));
  std::map<int32_t, int32_t> expected;
  if (size >= 4 && uint64_t{count} * 8 <= size - 4) {
    for (uint32_t i = 0; i < count; ++i) {
      const int32_t id = in.I32();
      expected[id] = in.I32();
    }
  }
  auto peer = a.peer();
  FUZZ_CHECK_EQ(peer.value_count(), expected.size());
  for (const auto& [id, value] : expected) {
    int32_t stored = 0;
    FUZZ_CHECK(peer.find_value(id, &stored));
    FUZZ_CHECK_EQ(stored, value);
  }
  FUZZ_CHECK(a.host().Events().empty());
  return 0;
}
