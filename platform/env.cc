#include "platform/env.h"

namespace msglogic {

Lock::~Lock() = default;
Event::~Event() = default;
Thread::~Thread() = default;
Env::~Env() = default;

}  // namespace msglogic
