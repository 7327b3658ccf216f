// Document record, deferred build and node handles.
//
// A parsed document is pending until something needs its nodes; the first
// zarvel_document_body replays the held body into a fresh store under the
// document's lock. Handles come from a bump arena of the store and are never
// freed singly.
#include <atomic>
#include <cstring>

#include "core/error.hpp"
#include "doc/event_log.hpp"
#include "doc/resolve.hpp"
#include "doc/store.hpp"

namespace {

constexpr uint64_t handle_block = 16384;
constexpr uint64_t block_header = sizeof(zarvel_arena_block);

zarvel_arena_block *new_handle_block(const zarvel_allocator *allocator, uint64_t capacity) {
    auto *block = static_cast<zarvel_arena_block *>(zvl::allocate(allocator, block_header + capacity));
    if (!block) return nullptr;
    block->next = nullptr;
    block->capacity = capacity;
    block->used = 0;
    return block;
}

std::atomic<uint64_t> arena_serials{0};

zarvel_locked_arena *new_handle_arena(const zarvel_allocator *allocator) {
    auto *arena = static_cast<zarvel_locked_arena *>(zvl::allocate(allocator, sizeof(zarvel_locked_arena)));
    if (!arena) return nullptr;
    arena->allocator = allocator;
    arena->head = new_handle_block(allocator, handle_block);
    if (!arena->head) {
        zvl::deallocate(allocator, arena);
        return nullptr;
    }
    zvl_lock_init(&arena->lock);
    arena->serial = arena_serials.fetch_add(1, std::memory_order_relaxed) + 1;
    return arena;
}

uintptr_t align_up(uintptr_t p, uint64_t a) { return (p + (a - 1)) & ~uintptr_t(a - 1); }

// Fast path: a compare-and-swap on the head block's fill, no lock. Only
// a full head block takes the arena's lock, to put a fresh block at the head;
// a thread still bumping an older head block merely uses up its remainder.
// Blocks are never freed before the document, so an old head stays valid.
void *locked_arena_alloc(zarvel_locked_arena *arena, uint64_t size, uint64_t alignment) {
    if (size == 0 || alignment == 0 || (alignment & (alignment - 1)) != 0) return nullptr;
    std::atomic_ref<zarvel_arena_block *> published(arena->head);
    zarvel_arena_block *head = published.load(std::memory_order_acquire);
    for (;;) {
        std::atomic_ref<uint64_t> fill(head->used);
        uintptr_t payload = reinterpret_cast<uintptr_t>(head) + block_header;
        uint64_t used = fill.load(std::memory_order_relaxed);
        for (;;) {
            uintptr_t p = align_up(payload + used, alignment);
            if (p + size > payload + head->capacity) break;
            if (fill.compare_exchange_weak(used, p + size - payload, std::memory_order_relaxed))
                return reinterpret_cast<void *>(p);
        }
        zvl::lock_guard hold(&arena->lock);
        zarvel_arena_block *current = published.load(std::memory_order_acquire);
        if (current != head) {
            head = current;  // another thread put a fresh block there: try it
            continue;
        }
        uint64_t wanted = size + alignment + block_header;
        zarvel_arena_block *block = new_handle_block(arena->allocator, wanted > handle_block ? wanted : handle_block);
        if (!block) return nullptr;
        block->next = head;
        payload = reinterpret_cast<uintptr_t>(block) + block_header;
        uintptr_t p = align_up(payload, alignment);
        block->used = p + size - payload;
        published.store(block, std::memory_order_release);
        return reinterpret_cast<void *>(p);
    }
}

void release_source(zarvel_document *document) {
    if (!document->source) return;
    if (document->source_kind == ZARVEL_SOURCE_EVENT_LOG) {
        auto *log = static_cast<zarvel_event_log *>(document->source);
        zarvel_event_log_release(log);
        zvl::deallocate(document->allocator, log);
    } else {
        zarvel_json_source_release(document->allocator, document->source);
    }
    document->source = nullptr;
}

// A failed build is reported, never taken for an empty stream: status 2
// with the reason in the thread's error record.
zarvel_node_store *build_failed(zarvel_node_store *store) {
    if (store && store->strings_refused)
        zarvel_error_set(zarvel_error_current(), ZARVEL_ERR_NO_MEMORY, 0, 0, 0,
                         "document texts pass the storage limit of 128 bytes per input byte");
    else
        zarvel_error_set(zarvel_error_current(), ZARVEL_ERR_NO_MEMORY, 0, 0, 0,
                         "out of memory while building the document");
    zarvel_store_free(store);
    return nullptr;
}

zarvel_node_store *build_from_source(zarvel_document *document) {
    zarvel_node_store *store = zarvel_store_new(document->allocator);
    if (!store) return build_failed(nullptr);
    int result = -1;
    if (document->source_kind == ZARVEL_SOURCE_EVENT_LOG) {
        store->resolver = document->schema == 1 ? &zarvel_yaml11_resolver : &zarvel_core_resolver;
        result = zarvel_event_log_replay(store, static_cast<zarvel_event_log *>(document->source));
    } else {
        result = zarvel_json_source_build(store, document->source);
    }
    if (result != 0) return build_failed(store);
    // The composer's scratch state is no longer needed once built.
    store->depth = 0;
    zvl::deallocate(store->allocator, store->tag_slots);
    store->tag_slots = nullptr;
    store->tag_slot_count = store->tag_entries = 0;
    return store;
}

}  // namespace

zarvel_document *zarvel_document_alloc(const zarvel_allocator *allocator) {
    if (!allocator) return nullptr;
    auto *document = static_cast<zarvel_document *>(zvl::allocate(allocator, sizeof(zarvel_document)));
    if (!document) return nullptr;
    std::memset(static_cast<void *>(document), 0, sizeof *document);
    document->allocator = allocator;
    zvl_lock_init(&document->lock);
    return document;
}

zarvel_node_store *zarvel_document_body(zarvel_document *document) {
    return zarvel_document_body_status(document, nullptr);
}

zarvel_node_store *zarvel_document_body_status(zarvel_document *document, int32_t *status) {
    if (status) *status = document ? ZARVEL_NO_MEMORY : ZARVEL_INVALID_ARGUMENT;
    if (!document) return nullptr;
    // A built document is never built again: one acquire load finds its
    // store; only a pending (or storeless) document takes the lock.
    std::atomic_ref<zarvel_node_store *> published(document->store);
    if (zarvel_node_store *built = published.load(std::memory_order_acquire)) {
        if (status) *status = ZARVEL_OK;
        return built;
    }
    zvl::lock_guard hold(&document->lock);
    if (document->store || !document->source) {
        if (status && document->store) *status = ZARVEL_OK;
        return document->store;
    }
    zarvel_node_store *store = build_from_source(document);
    if (!store) return nullptr;  // stays pending; the next access retries
    bool from_log = document->source_kind == ZARVEL_SOURCE_EVENT_LOG;
    release_source(document);
    if (from_log) {
        // Replay copied every text that lay outside the input.
        zarvel_arena_free(document->scratch);
        document->scratch = nullptr;
    }
    published.store(store, std::memory_order_release);
    if (status) *status = ZARVEL_OK;
    return store;
}

namespace {

// The store's handle arena, created on first use. A created arena is found
// with one acquire load and no lock; only the creation takes the store's
// lock, released again before any handle is cut from the arena.
zarvel_locked_arena *handle_arena(zarvel_node_store *store) {
    std::atomic_ref<zarvel_locked_arena *> published(store->handles);
    zarvel_locked_arena *handles = published.load(std::memory_order_acquire);
    if (handles) return handles;
    zvl::lock_guard hold(&store->lock);
    handles = published.load(std::memory_order_relaxed);
    if (!handles) {
        handles = new_handle_arena(store->allocator);
        if (handles) published.store(handles, std::memory_order_release);
    }
    return handles;
}

}  // namespace

zarvel_node *zarvel_node_handle(zarvel_document *document, uint32_t id) {
    zarvel_node *node = zarvel_node_handles(document, 1);
    if (node) node->id = id;
    return node;
}

namespace {

constexpr uint64_t handle_run_max = 4096;

__attribute__((noinline)) void *refill_run(zarvel_handle_run &run, zarvel_locked_arena *handles, uint64_t bytes) {
    if (run.arena != handles || run.serial != handles->serial) {
        run = {handles, handles->serial, 0, 0, 0};
    }
    uint64_t wanted = run.taken < handle_run_max ? run.taken : handle_run_max;
    if (wanted < bytes) wanted = bytes;
    void *p = locked_arena_alloc(handles, wanted, 16);
    if (!p && wanted > bytes) {
        wanted = bytes;
        p = locked_arena_alloc(handles, wanted, 16);
    }
    if (!p) return nullptr;
    run.taken += wanted;
    run.next = reinterpret_cast<uintptr_t>(p) + bytes;
    run.end = reinterpret_cast<uintptr_t>(p) + wanted;
    return p;
}

}  // namespace

zarvel_node *zarvel_node_handles_refill(zarvel_node_store *store, uint64_t bytes) {
    zarvel_locked_arena *handles = handle_arena(store);
    if (!handles) return nullptr;
    // The arena may have just been made: the run is tried against it first.
    if (zarvel_node *fresh = zarvel_node_handles_from_run(store, bytes)) return fresh;
    return static_cast<zarvel_node *>(refill_run(zarvel_thread_handles, handles, bytes));
}

zarvel_node *zarvel_node_handles(zarvel_document *document, uint64_t count) {
    zarvel_node *nodes = zarvel_node_handles_unfilled(document, count);
    if (!nodes) return nullptr;
    for (uint64_t i = 0; i < count; ++i) {
        nodes[i].document = document;
        nodes[i].id = zarvel_node_none;
    }
    return nodes;
}

int32_t zarvel_document_status(zarvel_document *document) {
    int32_t status = ZARVEL_INVALID_ARGUMENT;
    zarvel_document_body_status(document, &status);
    return status;
}

uint32_t zarvel_document_count(zarvel_document *document) {
    if (!document) return 0;
    zarvel_node_store *store = zarvel_document_body(document);
    return store ? store->root_count : 0;
}

zarvel_node *zarvel_document_root(zarvel_document *document, uint64_t index) {
    if (!document) return nullptr;
    zarvel_node_store *store = zarvel_document_body(document);
    if (!store || index >= store->root_count) return nullptr;
    return zarvel_node_handle(document, store->roots[index]);
}

zarvel_document *zarvel_document_free(zarvel_document *document) {
    if (!document) return nullptr;
    const zarvel_allocator *allocator = document->allocator;
    release_source(document);
    zarvel_store_free(document->store);
    zarvel_arena_free(document->scratch);
    zvl::deallocate(allocator, document->owned_text);
    zvl::deallocate(allocator, document);
    return nullptr;
}
