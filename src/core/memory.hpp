// Allocator record, block arena and string map. Every allocation of the
// library goes through zarvel_default_allocator or the zvl::sys_* wrappers,
// so a test can make allocation number N fail (see zvl::testing).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

struct zarvel_allocator {
    void *(*alloc)(void *user, size_t size);
    void (*free)(void *user, void *pointer);  // accepts null
    void *user;
};

// malloc/free, user word null.
extern const zarvel_allocator zarvel_default_allocator;

// ---- arena ---------------------------------------------------------------

struct zarvel_arena_block {
    zarvel_arena_block *next;
    uint64_t capacity;  // payload bytes
    uint64_t used;      // payload bytes handed out
};
static_assert(sizeof(zarvel_arena_block) == 24);

struct zarvel_arena {
    const zarvel_allocator *allocator;
    zarvel_arena_block *head;  // newest first
    uint64_t block_size;
    uint64_t block_count;
};

// block_size 0 becomes 4096, below 256 becomes 256. No block yet.
zarvel_arena *zarvel_arena_new(const zarvel_allocator *allocator, uint64_t block_size);
// Null for size 0, a bad alignment or a failed block; the arena stays usable.
void *zarvel_arena_alloc(zarvel_arena *arena, uint64_t size, uint64_t alignment);
void zarvel_arena_free(zarvel_arena *arena);

// ---- string map ----------------------------------------------------------

struct zarvel_strmap_slot {
    uint64_t key;    // packed key of at most 7 bytes; 0 for long keys
    uint32_t value;  // mapped value, or the 1-based long-key index
    uint32_t tag;    // 0 empty, else key length + 1
};
static_assert(sizeof(zarvel_strmap_slot) == 16);

struct zarvel_strmap_long_key {
    const char *key;
    uint64_t length;
};

struct zarvel_strmap {
    const zarvel_allocator *allocator;
    zarvel_strmap_slot *slots;
    zarvel_strmap_long_key *long_keys;
    uint32_t *long_values;
    uint32_t long_count;
    uint32_t long_capacity;
    uint32_t entries;
    uint32_t slot_count;
};

inline constexpr uint32_t zarvel_strmap_absent = 0xFFFFFFFFu;

bool zarvel_strmap_init(zarvel_strmap *map, const zarvel_allocator *allocator);
uint32_t zarvel_strmap_get(const zarvel_strmap *map, const char *key, uint64_t length);
// Keys are not copied: they must outlive the map.
bool zarvel_strmap_put(zarvel_strmap *map, const char *key, uint64_t length, uint32_t value);
bool zarvel_strmap_reserve(zarvel_strmap *map, uint64_t n);
void zarvel_strmap_clear(zarvel_strmap *map);
void zarvel_strmap_free(zarvel_strmap *map);
uint64_t zarvel_hash_bytes(const void *key, uint64_t length);

namespace zvl {

// Runtime allocation for the parts that use malloc/calloc/realloc directly
// (streaming front ends); they count against the same failure injection.
void *sys_malloc(size_t size);
void *sys_calloc(size_t count, size_t size);
void *sys_realloc(void *pointer, size_t size);
void sys_free(void *pointer);

namespace testing {
// Makes the n-th allocation from now (1-based) on this thread fail, and every
// one after it when sticky is set; 0 switches injection off. Returns the
// number of allocations seen since the last call.
uint64_t fail_allocation(uint64_t n, bool sticky = false);
uint64_t allocation_count();
// Bytes asked for by allocations on this thread so far (growth included).
uint64_t requested_bytes();
}  // namespace testing

inline void *allocate(const zarvel_allocator *a, size_t size) { return a->alloc(a->user, size); }
inline void deallocate(const zarvel_allocator *a, void *p) { a->free(a->user, p); }

// Create/destroy a T through an allocator; T must not need to report failure
// from its constructor.
template <typename T, typename... Args>
T *create(const zarvel_allocator *a, Args &&...args) {
    void *memory = allocate(a, sizeof(T));
    if (!memory) return nullptr;
    return new (memory) T(std::forward<Args>(args)...);
}
template <typename T>
void destroy(const zarvel_allocator *a, T *object) {
    if (!object) return;
    object->~T();
    deallocate(a, object);
}

// Growable array of trivially copyable T over an allocator record. Growth
// doubles from initial_capacity; a failed growth leaves it unchanged and
// returns false. Never throws.
template <typename T, size_t initial_capacity = 16>
class buffer {
  public:
    explicit buffer(const zarvel_allocator *allocator = &zarvel_default_allocator) : allocator_(allocator) {}
    ~buffer() { deallocate(allocator_, data_); }
    buffer(const buffer &) = delete;
    buffer &operator=(const buffer &) = delete;
    buffer(buffer &&other) noexcept
        : allocator_(other.allocator_), data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }

    T *data() { return data_; }
    const T *data() const { return data_; }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    T &operator[](size_t i) { return data_[i]; }
    const T &operator[](size_t i) const { return data_[i]; }
    T &back() { return data_[size_ - 1]; }
    T *begin() { return data_; }
    T *end() { return data_ + size_; }
    const T *begin() const { return data_; }
    const T *end() const { return data_ + size_; }

    void clear() { size_ = 0; }
    void pop_back() { --size_; }
    void resize_down(size_t n) { size_ = n; }

    bool reserve(size_t wanted) {
        if (wanted <= capacity_) return true;
        size_t grown = capacity_ ? capacity_ : initial_capacity;
        while (grown < wanted) {
            if (grown > SIZE_MAX / 2 / sizeof(T)) return false;
            grown *= 2;
        }
        T *fresh = static_cast<T *>(allocate(allocator_, grown * sizeof(T)));
        if (!fresh) return false;
        if (size_) std::memcpy(static_cast<void *>(fresh), data_, size_ * sizeof(T));
        deallocate(allocator_, data_);
        data_ = fresh;
        capacity_ = grown;
        return true;
    }
    bool push_back(const T &value) {
        if (size_ == capacity_ && !reserve(size_ + 1)) return false;
        data_[size_++] = value;
        return true;
    }
    bool append(const T *values, size_t count) {
        if (count == 0) return true;
        if (!reserve(size_ + count)) return false;
        std::memcpy(static_cast<void *>(data_ + size_), values, count * sizeof(T));
        size_ += count;
        return true;
    }
    // Hands the storage to the caller (who frees it through the allocator).
    T *release() {
        T *d = data_;
        data_ = nullptr;
        size_ = capacity_ = 0;
        return d;
    }

  private:
    const zarvel_allocator *allocator_;
    T *data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace zvl
