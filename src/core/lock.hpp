// Slim exclusive lock: one 32-bit futex word, zero-initialised means unlocked,
// so it can sit inside any plain record and be set up with memset.
#pragma once

#include <cstdint>

struct zvl_lock {
    uint32_t word;  // 0 free, 1 held, 2 held with waiters
};

void zvl_lock_init(zvl_lock *lock);
void zvl_lock_acquire(zvl_lock *lock);
void zvl_lock_release(zvl_lock *lock);

namespace zvl {
// Scoped holder; the three document locks are never held together.
class lock_guard {
  public:
    explicit lock_guard(zvl_lock *lock) : lock_(lock) { zvl_lock_acquire(lock_); }
    ~lock_guard() { zvl_lock_release(lock_); }
    lock_guard(const lock_guard &) = delete;
    lock_guard &operator=(const lock_guard &) = delete;

  private:
    zvl_lock *lock_;
};
}  // namespace zvl
