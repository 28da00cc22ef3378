// Size arithmetic for lengths and counts taken from engine records and host
// arguments: every product and sum that sizes a buffer or advances an offset
// goes through these, so a hostile length is refused instead of wrapping.
#ifndef MSGLOGIC_EVENTS_CHECKED_SIZE_H_
#define MSGLOGIC_EVENTS_CHECKED_SIZE_H_

#include <stddef.h>
#include <stdint.h>

namespace msglogic {

constexpr size_t kSizeMax = static_cast<size_t>(-1);

// *sum = a + b; false (and *sum untouched) when it does not fit size_t.
inline bool CheckedAdd(size_t a, size_t b, size_t* sum) {
  if (a > kSizeMax - b) return false;
  *sum = a + b;
  return true;
}

// *product = a * b; false (and *product untouched) when it does not fit.
inline bool CheckedMul(size_t a, size_t b, size_t* product) {
  if (a != 0 && b > kSizeMax / a) return false;
  *product = a * b;
  return true;
}

}  // namespace msglogic

#endif  // MSGLOGIC_EVENTS_CHECKED_SIZE_H_
