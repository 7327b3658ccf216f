// Default allocator with failure injection, the block arena and the string
// map.
#include "core/memory.hpp"

#include <cstdlib>

// ---- allocation and failure injection ------------------------------------

namespace {

// Per thread, so that tests on one thread never disturb another.
struct injection_state {
    uint64_t seen = 0;       // allocations since the last reset
    uint64_t bytes = 0;      // bytes asked for, never reset
    uint64_t countdown = 0;  // 0: off; else the allocation that fails
    bool sticky = false;
    bool failing = false;
};
thread_local injection_state injection;

bool allocation_fails(size_t size) {
    injection_state &s = injection;
    ++s.seen;
    s.bytes += size;
    if (s.failing) return true;
    if (s.countdown == 0) return false;
    if (--s.countdown != 0) return false;
    s.failing = s.sticky;
    return true;
}

void *default_alloc(void *, size_t size) { return zvl::sys_malloc(size); }
void default_free(void *, void *pointer) { std::free(pointer); }

}  // namespace

const zarvel_allocator zarvel_default_allocator = {default_alloc, default_free, nullptr};

void *zvl::sys_malloc(size_t size) {
    if (allocation_fails(size)) return nullptr;
    return std::malloc(size ? size : 1);
}
void *zvl::sys_calloc(size_t count, size_t size) {
    if (allocation_fails(count * size)) return nullptr;
    return std::calloc(count ? count : 1, size ? size : 1);
}
void *zvl::sys_realloc(void *pointer, size_t size) {
    if (allocation_fails(size)) return nullptr;
    return std::realloc(pointer, size ? size : 1);
}
void zvl::sys_free(void *pointer) { std::free(pointer); }

uint64_t zvl::testing::fail_allocation(uint64_t n, bool sticky) {
    injection_state &s = injection;
    uint64_t seen = s.seen;
    const uint64_t bytes = s.bytes;
    s = injection_state{};
    s.bytes = bytes;
    s.countdown = n;
    s.sticky = sticky;
    return seen;
}
uint64_t zvl::testing::allocation_count() { return injection.seen; }
uint64_t zvl::testing::requested_bytes() { return injection.bytes; }

// ---- arena ----------------------------------------------------------------

namespace {
constexpr uint64_t arena_default_block = 4096;
constexpr uint64_t arena_min_block = 256;
constexpr uint64_t block_header = sizeof(zarvel_arena_block);

char *payload_of(zarvel_arena_block *block) { return reinterpret_cast<char *>(block) + block_header; }

zarvel_arena_block *new_block(zarvel_arena *arena, uint64_t capacity) {
    if (capacity > SIZE_MAX - block_header) return nullptr;
    auto *block = static_cast<zarvel_arena_block *>(zvl::allocate(arena->allocator, capacity + block_header));
    if (!block) return nullptr;
    block->next = arena->head;
    block->capacity = capacity;
    block->used = 0;
    arena->head = block;
    ++arena->block_count;
    return block;
}
}  // namespace

zarvel_arena *zarvel_arena_new(const zarvel_allocator *allocator, uint64_t block_size) {
    if (!allocator) return nullptr;
    auto *arena = static_cast<zarvel_arena *>(zvl::allocate(allocator, sizeof(zarvel_arena)));
    if (!arena) return nullptr;
    if (block_size == 0) block_size = arena_default_block;
    if (block_size < arena_min_block) block_size = arena_min_block;
    *arena = zarvel_arena{allocator, nullptr, block_size, 0};
    return arena;
}

void *zarvel_arena_alloc(zarvel_arena *arena, uint64_t size, uint64_t alignment) {
    if (!arena || size == 0 || alignment == 0 || (alignment & (alignment - 1)) != 0) return nullptr;
    if (size > UINT64_MAX / 2 || alignment > UINT64_MAX / 4) return nullptr;
    zarvel_arena_block *head = arena->head;
    if (!head && !(head = new_block(arena, arena->block_size))) return nullptr;
    auto align_up = [alignment](uintptr_t address) { return (address + alignment - 1) & ~(alignment - 1); };
    uintptr_t start = reinterpret_cast<uintptr_t>(payload_of(head));
    uintptr_t aligned = align_up(start + head->used);
    if (aligned + size > start + head->capacity) {
        uint64_t wanted = size + alignment + block_header;
        head = new_block(arena, wanted > arena->block_size ? wanted : arena->block_size);
        if (!head) return nullptr;
        start = reinterpret_cast<uintptr_t>(payload_of(head));
        aligned = align_up(start);
    }
    head->used = aligned + size - start;
    return reinterpret_cast<void *>(aligned);
}

void zarvel_arena_free(zarvel_arena *arena) {
    if (!arena) return;
    const zarvel_allocator *allocator = arena->allocator;
    for (zarvel_arena_block *block = arena->head; block;) {
        zarvel_arena_block *next = block->next;
        zvl::deallocate(allocator, block);
        block = next;
    }
    zvl::deallocate(allocator, arena);
}

// ---- string map -----------------------------------------------------------

namespace {

constexpr uint32_t strmap_initial_slots = 64;
constexpr uint32_t strmap_initial_long = 16;
constexpr uint32_t strmap_load_percent = 70;
constexpr uint64_t short_key_limit = 7;  // keys up to this length live in the slot

constexpr uint64_t hash_k1 = 0x9e3779b97f4a7c15ull;
constexpr uint64_t hash_k2 = 0xbf58476d1ce4e5b9ull;
constexpr uint64_t hash_k3 = 0x85ebca77ull;

uint64_t load64(const unsigned char *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;  // little-endian host
}

// The n <= 8 bytes at p as one little-endian word, without reading past
// them: two overlapping loads (or three single bytes) whose union is the
// key. Branching on each bit of n instead mispredicts on names of mixed
// lengths (a1, a22, a333).
uint64_t pack_short(const unsigned char *p, uint64_t n) {
    if (n >= 4) {
        uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        return lo | uint64_t{hi} << (8 * (n - 4));
    }
    if (n == 0) return 0;
    return p[0] | uint64_t{p[n / 2]} << (8 * (n / 2)) | uint64_t{p[n - 1]} << (8 * (n - 1));
}

uint64_t finish(uint64_t x) {
    x *= hash_k1;
    x ^= x >> 29;
    x ^= x >> 32;
    x *= hash_k2;
    x ^= x >> 29;
    x ^= x >> 32;
    return x;
}

// The hash of a short key from its packing (what hash_of computes for it).
uint64_t hash_of_packed(uint64_t packed, uint64_t n) { return finish(n ^ packed ^ hash_k1); }

uint64_t hash_of(const unsigned char *p, uint64_t n) {
    if (n <= 8) return finish(n ^ pack_short(p, n) ^ hash_k1);
    uint64_t w = load64(p);
    uint64_t y = (n ^ w ^ hash_k1) * hash_k1;
    if (n <= 16) return finish(y ^ (y >> 29) ^ pack_short(p + 8, n - 8));
    // Every middle word is mixed in as well: hashing only the first and last
    // eight bytes lets crafted names collide and turns probing quadratic.
    for (uint64_t at = 8; at + 8 < n; at += 8) y = (load64(p + at) ^ (y >> 29) ^ y) * hash_k1;
    uint64_t z = load64(p + n - 8);
    y = (z ^ (y >> 29) ^ y) * hash_k1;
    return finish((n * hash_k3) ^ (y >> 29) ^ y);
}

bool slot_matches(const zarvel_strmap *map, const zarvel_strmap_slot &slot, const unsigned char *key, uint64_t n,
                  uint64_t packed) {
    if (slot.tag != n + 1) return false;
    if (n <= short_key_limit) return slot.key == packed;
    const zarvel_strmap_long_key &entry = map->long_keys[slot.value - 1];
    return entry.length == n && std::memcmp(entry.key, key, n) == 0;
}

// Index of the slot holding key, or of the empty slot where it would go.
uint32_t probe(const zarvel_strmap *map, const unsigned char *key, uint64_t n, uint64_t packed, uint64_t hash) {
    uint32_t mask = map->slot_count - 1;
    uint32_t i = static_cast<uint32_t>(hash) & mask;
    while (map->slots[i].tag != 0 && !slot_matches(map, map->slots[i], key, n, packed)) i = (i + 1) & mask;
    return i;
}

const unsigned char *key_bytes_of(const zarvel_strmap *map, const zarvel_strmap_slot &slot, unsigned char scratch[8]) {
    uint64_t n = slot.tag - 1;
    if (n > short_key_limit) return reinterpret_cast<const unsigned char *>(map->long_keys[slot.value - 1].key);
    std::memcpy(scratch, &slot.key, 8);  // little-endian host, as pack_short reads
    return scratch;
}

bool grow_slots(zarvel_strmap *map, uint32_t new_count) {
    auto *fresh = static_cast<zarvel_strmap_slot *>(
        zvl::allocate(map->allocator, sizeof(zarvel_strmap_slot) * size_t{new_count}));
    if (!fresh) return false;
    std::memset(fresh, 0, sizeof(zarvel_strmap_slot) * size_t{new_count});
    zarvel_strmap_slot *old = map->slots;
    uint32_t old_count = map->slot_count;
    uint32_t mask = new_count - 1;
    for (uint32_t s = 0; s < old_count; ++s) {
        const zarvel_strmap_slot &slot = old[s];
        if (slot.tag == 0) continue;
        unsigned char scratch[8];
        uint32_t i = static_cast<uint32_t>(hash_of(key_bytes_of(map, slot, scratch), slot.tag - 1)) & mask;
        while (fresh[i].tag != 0) i = (i + 1) & mask;
        fresh[i] = slot;
    }
    zvl::deallocate(map->allocator, old);
    map->slots = fresh;
    map->slot_count = new_count;
    return true;
}

bool grow_long(zarvel_strmap *map) {
    uint32_t capacity = map->long_capacity ? map->long_capacity * 2 : strmap_initial_long;
    if (capacity < map->long_capacity) return false;
    auto *keys = static_cast<zarvel_strmap_long_key *>(
        zvl::allocate(map->allocator, sizeof(zarvel_strmap_long_key) * size_t{capacity}));
    auto *values = static_cast<uint32_t *>(zvl::allocate(map->allocator, sizeof(uint32_t) * size_t{capacity}));
    if (!keys || !values) {
        zvl::deallocate(map->allocator, keys);
        zvl::deallocate(map->allocator, values);
        return false;
    }
    if (map->long_count) {
        std::memcpy(keys, map->long_keys, sizeof(zarvel_strmap_long_key) * map->long_count);
        std::memcpy(values, map->long_values, sizeof(uint32_t) * map->long_count);
    }
    zvl::deallocate(map->allocator, map->long_keys);
    zvl::deallocate(map->allocator, map->long_values);
    map->long_keys = keys;
    map->long_values = values;
    map->long_capacity = capacity;
    return true;
}

}  // namespace

uint64_t zarvel_hash_bytes(const void *key, uint64_t length) {
    return hash_of(static_cast<const unsigned char *>(key), length);
}

bool zarvel_strmap_init(zarvel_strmap *map, const zarvel_allocator *allocator) {
    if (!map || !allocator) return false;
    *map = zarvel_strmap{};
    map->allocator = allocator;
    auto *slots =
        static_cast<zarvel_strmap_slot *>(zvl::allocate(allocator, sizeof(zarvel_strmap_slot) * strmap_initial_slots));
    if (!slots) return false;
    std::memset(slots, 0, sizeof(zarvel_strmap_slot) * strmap_initial_slots);
    map->slots = slots;
    map->slot_count = strmap_initial_slots;
    return true;
}

uint32_t zarvel_strmap_get(const zarvel_strmap *map, const char *key, uint64_t length) {
    if (!map || !map->slots || (!key && length)) return zarvel_strmap_absent;
    auto *bytes = reinterpret_cast<const unsigned char *>(key);
    const bool short_key = length <= short_key_limit;
    uint64_t packed = short_key ? pack_short(bytes, length) : 0;
    uint64_t hash = short_key ? hash_of_packed(packed, length) : hash_of(bytes, length);
    const zarvel_strmap_slot &slot = map->slots[probe(map, bytes, length, packed, hash)];
    if (slot.tag == 0) return zarvel_strmap_absent;
    return length <= short_key_limit ? slot.value : map->long_values[slot.value - 1];
}

bool zarvel_strmap_put(zarvel_strmap *map, const char *key, uint64_t length, uint32_t value) {
    if (!map || !map->slots || (!key && length) || value == zarvel_strmap_absent) return false;
    if (length > UINT32_MAX - 1) return false;
    auto *bytes = reinterpret_cast<const unsigned char *>(key);
    uint64_t packed = length <= short_key_limit ? pack_short(bytes, length) : 0;
    uint64_t hash = length <= short_key_limit ? hash_of_packed(packed, length) : hash_of(bytes, length);
    uint32_t i = probe(map, bytes, length, packed, hash);
    zarvel_strmap_slot *slot = &map->slots[i];
    if (slot->tag != 0) {
        if (length <= short_key_limit)
            slot->value = value;
        else
            map->long_values[slot->value - 1] = value;
        return true;
    }
    bool is_long = length > short_key_limit;
    if (is_long && map->long_count == map->long_capacity && !grow_long(map)) return false;
    if (uint64_t{map->slot_count} * strmap_load_percent < (uint64_t{map->entries} + 1) * 100) {
        if (map->slot_count > UINT32_MAX / 2 || !grow_slots(map, map->slot_count * 2)) return false;
        i = probe(map, bytes, length, packed, hash);
        slot = &map->slots[i];
    }
    slot->tag = static_cast<uint32_t>(length + 1);
    if (is_long) {
        map->long_keys[map->long_count] = {key, length};
        map->long_values[map->long_count] = value;
        ++map->long_count;
        slot->key = 0;
        slot->value = map->long_count;
    } else {
        slot->key = packed;
        slot->value = value;
    }
    ++map->entries;
    return true;
}

bool zarvel_strmap_reserve(zarvel_strmap *map, uint64_t n) {
    if (!map || !map->slots) return true;
    if (uint64_t{map->slot_count} * strmap_load_percent >= n * 100) return true;
    uint64_t needed = (n * 100 + strmap_load_percent - 1) / strmap_load_percent;
    uint64_t count = strmap_initial_slots;
    while (count < needed) count *= 2;
    if (count > (uint64_t{1} << 31)) return false;
    return grow_slots(map, static_cast<uint32_t>(count));
}

void zarvel_strmap_clear(zarvel_strmap *map) {
    if (!map) return;
    if (map->slots) std::memset(map->slots, 0, sizeof(zarvel_strmap_slot) * size_t{map->slot_count});
    map->entries = 0;
    map->long_count = 0;
}

void zarvel_strmap_free(zarvel_strmap *map) {
    if (!map) return;
    if (map->allocator) {
        zvl::deallocate(map->allocator, map->slots);
        zvl::deallocate(map->allocator, map->long_keys);
        zvl::deallocate(map->allocator, map->long_values);
    }
    *map = zarvel_strmap{};
}
