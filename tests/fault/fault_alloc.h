// Allocation failure on demand: the test binary replaces the global
// operator new and new[] (every form, nothrow and aligned included) with
// versions that count the allocations of the arming thread and fail the
// k-th: the throwing forms throw std::bad_alloc, the nothrow forms return
// null. Other threads, and the arming thread while suspended, allocate
// normally and are not counted.
#ifndef MSGLOGIC_TESTS_FAULT_FAULT_ALLOC_H_
#define MSGLOGIC_TESTS_FAULT_FAULT_ALLOC_H_

#include <stdint.h>

namespace msglogic {
namespace testing {
namespace fault {

// Starts counting on this thread; the allocation numbered fail_at (from 1)
// fails. 0 fails none.
void Arm(uint64_t fail_at);
// Stops counting; returns how many allocations were counted.
uint64_t Disarm();
// Whether the armed allocation has failed since Arm.
bool Failed();
// Allocations counted since Arm.
uint64_t Count();
// Counts one allocation of something that is not made with operator new
// (an Env object, say): true when it is the one to fail.
bool CountOne();

// Allocations in its scope are neither counted nor failed.
class Suspend {
 public:
  Suspend();
  ~Suspend();
  Suspend(const Suspend&) = delete;
  Suspend& operator=(const Suspend&) = delete;

 private:
  bool was_;
};

}  // namespace fault
}  // namespace testing
}  // namespace msglogic

#endif  // MSGLOGIC_TESTS_FAULT_FAULT_ALLOC_H_
