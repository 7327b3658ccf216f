// Futex-backed exclusive lock (the three-state mutex: free, held, contended).
#include "core/lock.hpp"

#include <atomic>
#include <climits>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::atomic_ref<uint32_t> word_of(zvl_lock *lock) { return std::atomic_ref<uint32_t>(lock->word); }

void futex_wait(zvl_lock *lock, uint32_t expected) {
    syscall(SYS_futex, &lock->word, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futex_wake_one(zvl_lock *lock) { syscall(SYS_futex, &lock->word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0); }

constexpr uint32_t lock_free = 0;
constexpr uint32_t lock_held = 1;
constexpr uint32_t lock_contended = 2;

}  // namespace

void zvl_lock_init(zvl_lock *lock) { word_of(lock).store(lock_free, std::memory_order_relaxed); }

void zvl_lock_acquire(zvl_lock *lock) {
    auto word = word_of(lock);
    uint32_t seen = lock_free;
    if (word.compare_exchange_strong(seen, lock_held, std::memory_order_acquire)) return;
    // Mark contended so the holder knows to wake someone, then sleep until free.
    if (seen != lock_contended) seen = word.exchange(lock_contended, std::memory_order_acquire);
    while (seen != lock_free) {
        futex_wait(lock, lock_contended);
        seen = word.exchange(lock_contended, std::memory_order_acquire);
    }
}

void zvl_lock_release(zvl_lock *lock) {
    if (word_of(lock).exchange(lock_free, std::memory_order_release) == lock_contended) futex_wake_one(lock);
}
