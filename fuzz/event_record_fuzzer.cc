// The plain engine events on a bounded view of the input: event A (user id
// at 0, a NUL-terminated text at 22, passed to the host in place), event D
// (three int32 values), event B (a value) and event C.
//
// Input: one mode byte (0 A, 1 D, 2 B, 3 C), then the record.
#include "events/record_view.h"
#include "fuzz/harness.h"

namespace fz = msglogic::fuzz;
namespace t = msglogic::testing;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int mode = data[0] & 3;
  const size_t n = size - 1;
  auto record = fz::ExactCopy(data + 1, n);
  const msglogic::RecordView view(record.get(), n);
  fz::FreshAgent a;
  fz::Input in(record.get(), n);

  switch (mode) {
    case 0: {
      FUZZ_CHECK_EQ(a.agent()->OnEventA(view), 0);
      const auto events = a.host().Events();
      // The text must end inside the record for the host to read it.
      const std::string rest =
          n > 22 ? std::string(reinterpret_cast<const char*>(record.get()) + 22, n - 22) : "";
      if (rest.find('\0') == std::string::npos) {
        FUZZ_CHECK(events.empty());
        break;
      }
      FUZZ_CHECK_EQ(events.size(), 1u);
      FUZZ_CHECK_EQ(events[0].slot, t::kOnEventA);
      FUZZ_CHECK_EQ(events[0].args[0], in.I32());
      FUZZ_CHECK(events[0].pointer == record.get() + 22);
      FUZZ_CHECK_EQ(events[0].text, fz::UpToNul(rest));
      break;
    }
    case 1: {
      FUZZ_CHECK_EQ(a.agent()->OnEventD(view), 0);
      const auto events = a.host().Events();
      if (n < 12) {
        FUZZ_CHECK(events.empty());
        break;
      }
      FUZZ_CHECK_EQ(events.size(), 1u);
      FUZZ_CHECK_EQ(events[0].slot, t::kOnEventD);
      const int32_t x = in.I32(), y = in.I32(), z = in.I32();
      FUZZ_CHECK(events[0].args == (std::vector<int64_t>{x, y, z}));
      break;
    }
    case 2: {
      const int32_t value = in.I32();
      FUZZ_CHECK_EQ(a.agent()->OnEventB(value), 0);
      const auto events = a.host().Events();
      FUZZ_CHECK_EQ(events.size(), 1u);
      FUZZ_CHECK_EQ(events[0].slot, t::kOnEventB);
      FUZZ_CHECK_EQ(events[0].args[0], value);
      break;
    }
    default: {
      FUZZ_CHECK_EQ(a.agent()->OnEventC(), 0);
      FUZZ_CHECK_EQ(a.host().Count(t::kOnEventC), 1);
      break;
    }
  }
  return 0;
}
