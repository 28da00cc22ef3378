// OnUserText on a bounded view of the input: type at 20, length L at 24, L
// bytes of text at 28. Only type 1 reaches the host, unconverted and
// NUL-terminated; a record shorter than it claims is dropped.
#include "events/record_view.h"
#include "fuzz/harness.h"

namespace fz = msglogic::fuzz;
namespace t = msglogic::testing;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr int32_t kUser = 4242;
  auto record = fz::ExactCopy(data, size);
  fz::FreshAgent a;
  FUZZ_CHECK_EQ(a.agent()->OnUserText(kUser, msglogic::RecordView(record.get(), size)), 0);

  fz::Input in(data, size);
  in.Take(20);
  const int32_t type = in.I32();
  const uint32_t length = in.U32();
  const auto events = a.host().Events();
  if (size < 28 || type != 1 || length > size - 28) {
    FUZZ_CHECK(events.empty());
    return 0;
  }
  FUZZ_CHECK_EQ(events.size(), 1u);
  FUZZ_CHECK_EQ(events[0].slot, t::kOnUserData);
  FUZZ_CHECK_EQ(events[0].args[0], kUser);
  FUZZ_CHECK_EQ(events[0].args[1], 0);
  FUZZ_CHECK_EQ(events[0].text, fz::UpToNul(in.Take(length)));
  return 0;
}
