// The recursive lock behind Env::NewLock on every system: the system's own
// recursive mutex, nothing more.
//
// The agent's locks are held briefly, and none of them is taken record
// after record by a long engine event any more: a friend list is built with
// no lock held and swapped in under m_csFriend at once, so a host thread
// that finds a lock taken waits for one short critical section. Spinning or
// handing the lock over in turns would only burn the other core's time.
#ifndef MSGLOGIC_PLATFORM_MUTEX_LOCK_H_
#define MSGLOGIC_PLATFORM_MUTEX_LOCK_H_

#include "platform/env.h"

namespace msglogic {

// `Mutex` is a recursive mutex with lock() and unlock().
template <class Mutex>
class MutexLock final : public Lock {
 public:
  void Enter() override { mu_.lock(); }
  void Leave() override { mu_.unlock(); }

 private:
  Mutex mu_;
};

}  // namespace msglogic

#endif  // MSGLOGIC_PLATFORM_MUTEX_LOCK_H_
