// Calls through raw vtable slots, as a host or engine binary that knows only
// slot numbers makes them.
#ifndef MSGLOGIC_TESTS_SUPPORT_VTABLE_H_
#define MSGLOGIC_TESTS_SUPPORT_VTABLE_H_

#include "MsgExport.h"

namespace msglogic {
namespace testing {

// Calls vtable entry `index` (the slot number of the interface tables) of `object` with `args`, with the member calling
// convention and nothing of the C++ type system.
template <typename R, typename... Args>
R CallSlot(void* object, int index, Args... args) {
  using Fn = R(MSG_THISCALL*)(void*, Args...);
  Fn* vtable = *reinterpret_cast<Fn**>(object);
  return vtable[index](object, args...);
}

}  // namespace testing
}  // namespace msglogic

#endif  // MSGLOGIC_TESTS_SUPPORT_VTABLE_H_
