#include "tests/fault/fault_alloc.h"

#include <cstdlib>
#include <new>

#if defined(_WIN32)
#include <malloc.h>
#endif

namespace msglogic {
namespace testing {
namespace fault {
namespace {

struct State {
  bool armed = false;
  bool suspended = false;
  bool failed = false;
  uint64_t count = 0;
  uint64_t fail_at = 0;
};
// Plain data: no constructor runs on first use inside operator new.
thread_local State t_state;

}  // namespace

void Arm(uint64_t fail_at) {
  t_state.count = 0;
  t_state.failed = false;
  t_state.fail_at = fail_at;
  t_state.armed = true;
}

uint64_t Disarm() {
  t_state.armed = false;
  return t_state.count;
}

bool Failed() { return t_state.failed; }
uint64_t Count() { return t_state.count; }

bool CountOne() {
  State& s = t_state;
  if (!s.armed || s.suspended) return false;
  if (++s.count != s.fail_at) return false;
  s.failed = true;
  return true;
}

Suspend::Suspend() : was_(t_state.suspended) { t_state.suspended = true; }
Suspend::~Suspend() { t_state.suspended = was_; }

}  // namespace fault
}  // namespace testing
}  // namespace msglogic

namespace {

using msglogic::testing::fault::CountOne;

void* Allocate(std::size_t size, bool nothrow) {
  if (CountOne()) {
    if (nothrow) return nullptr;
    throw std::bad_alloc();
  }
  void* p = std::malloc(size != 0 ? size : 1);
  if (p == nullptr && !nothrow) throw std::bad_alloc();
  return p;
}

void* AllocateAligned(std::size_t size, std::align_val_t align, bool nothrow) {
  if (CountOne()) {
    if (nothrow) return nullptr;
    throw std::bad_alloc();
  }
  void* p = nullptr;
  const std::size_t a = static_cast<std::size_t>(align) < sizeof(void*)
                            ? sizeof(void*)
                            : static_cast<std::size_t>(align);
#if defined(_WIN32)
  p = _aligned_malloc(size != 0 ? size : 1, a);
#else
  if (posix_memalign(&p, a, size != 0 ? size : 1) != 0) p = nullptr;
#endif
  if (p == nullptr && !nothrow) throw std::bad_alloc();
  return p;
}

// What the aligned forms allocated: Windows frees it with its own call.
void FreeAligned(void* p) {
#if defined(_WIN32)
  _aligned_free(p);
#else
  std::free(p);
#endif
}

}  // namespace

void* operator new(std::size_t n) { return Allocate(n, false); }
void* operator new[](std::size_t n) { return Allocate(n, false); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n, true); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n, true); }
void* operator new(std::size_t n, std::align_val_t a) { return AllocateAligned(n, a, false); }
void* operator new[](std::size_t n, std::align_val_t a) { return AllocateAligned(n, a, false); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return AllocateAligned(n, a, true);
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return AllocateAligned(n, a, true);
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { FreeAligned(p); }
void operator delete[](void* p, std::align_val_t) noexcept { FreeAligned(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { FreeAligned(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { FreeAligned(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { FreeAligned(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { FreeAligned(p); }
