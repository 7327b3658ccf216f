// Document record, deferred build and node handles.
//
// A parsed document is pending until something needs its nodes; the first
// zarvel_document_body replays the held body into a fresh store under the
// document's lock. Each node has one handle, made on first use and freed
// with the store.
#include <atomic>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/error.hpp"
#include "core/large_pages.hpp"
#include "doc/messages.hpp"
#include "doc/store.hpp"
#include "doc/tree_builder.hpp"

namespace {

void release_source(zarvel_document *document) {
    if (!document->source) return;
    document->source_ops->release(document->allocator, document->source);
    document->source = nullptr;
}

// A failed build is reported, never taken for an empty stream: status 2
// with the reason in the thread's error record.
zarvel_node_store *build_failed(zarvel_node_store *store) {
    if (store && store->strings_refused)
        zarvel_error_set(zarvel_error_current(), ZARVEL_ERR_NO_MEMORY, 0, 0, 0, zvl::doc::message::strings_refused);
    else
        zarvel_error_set(zarvel_error_current(), ZARVEL_ERR_NO_MEMORY, 0, 0, 0, zvl::doc::message::build_no_memory);
    zarvel_store_free(store);
    return nullptr;
}

zarvel_node_store *build_from_source(zarvel_document *document) {
    zarvel_node_store *store = zarvel_store_new(document->allocator);
    if (!store) return build_failed(nullptr);
    if (document->source_ops->build(store, document) != 0) return build_failed(store);
    // The composer's scratch state is no longer needed once built.
    zvl::tree::close_to(store, 0);
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
    bool frees_scratch = document->source_ops->frees_scratch;
    release_source(document);
    if (frees_scratch) {
        zarvel_arena_free(document->scratch);
        document->scratch = nullptr;
    }
    published.store(store, std::memory_order_release);
    if (status) *status = ZARVEL_OK;
    return store;
}

int32_t zarvel_document_pending_views(zarvel_document *document, uint32_t root, uint64_t first, uint32_t flags,
                                      zarvel_node_view *views, uint64_t capacity, uint64_t *count) {
    if (std::atomic_ref<zarvel_node_store *>(document->store).load(std::memory_order_acquire)) return -1;
    // Under the lock, so that no build releases the body while it is read.
    zvl::lock_guard hold(&document->lock);
    if (document->store || !document->source || !document->source_ops->views) return -1;
    return document->source_ops->views(document, root, first, flags, views, capacity, count);
}

namespace {

// A directory covering chunk `chunk` and every node of the store, taking
// over the chunks of `old` (store's lock held). Null when out of memory.
zarvel_handle_table *grown_directory(zarvel_node_store *store, zarvel_handle_table *old, uint32_t chunk) {
    uint64_t count = (uint64_t(store->node_count) + zarvel_handle_chunk - 1) >> zarvel_handle_chunk_shift;
    if (count < uint64_t(chunk) + 1) count = uint64_t(chunk) + 1;
    if (old && count < 2 * uint64_t(old->chunk_count)) count = 2 * uint64_t(old->chunk_count);
    auto *table = static_cast<zarvel_handle_table *>(
        zvl::allocate(store->allocator, sizeof(zarvel_handle_table) + count * sizeof(zarvel_node *)));
    if (!table) return nullptr;
    table->chunk_count = uint32_t(count);
    table->older = old;
    uint32_t kept = old ? old->chunk_count : 0;
    for (uint32_t i = 0; i < kept; ++i) table->chunks[i] = old->chunks[i];
    for (uint64_t i = kept; i < count; ++i) table->chunks[i] = nullptr;
    std::atomic_ref<zarvel_handle_table *>(store->handles).store(table, std::memory_order_release);
    return table;
}

// Fills chunk `chunk`'s handles at `handles` and publishes them.
void fill_chunk(zarvel_document *document, zarvel_handle_table *table, uint32_t chunk, zarvel_node *handles) {
    const uint32_t first = chunk << zarvel_handle_chunk_shift;
    for (uint32_t i = 0; i < zarvel_handle_chunk; ++i) handles[i] = {document, first + i};
    std::atomic_ref<zarvel_node *>(table->chunks[chunk]).store(handles, std::memory_order_release);
}

// One block for the chunks of every node of the store, made with the first
// directory (store's lock held): a walk then makes its handles without an
// allocation and a page fault per chunk. Without memory for it, chunks come
// one by one.
void make_handle_block(zarvel_node_store *store, const zarvel_handle_table *table) {
    uint64_t chunks = (uint64_t(store->node_count) + zarvel_handle_chunk - 1) >> zarvel_handle_chunk_shift;
    if (chunks > table->chunk_count) chunks = table->chunk_count;
    uint64_t bytes = (chunks << zarvel_handle_chunk_shift) * sizeof(zarvel_node);
    auto *block = static_cast<zarvel_node *>(zvl::allocate(store->allocator, bytes));
    if (!block) return;
    zvl::advise_large_pages(block, bytes);
    store->handle_block = block;
    store->handle_block_chunks = uint32_t(chunks);
}

// Handles of the block at once, in id order, from the first not made
// through chunk `chunk` and a few more but not past the last node (store's
// lock held): a walk, which meets ids nearly in order, finds each with one
// compare and makes them a few chunks ahead, while they are still in cache
// when read, and a small document fills only the handles of its nodes.
// Only full chunks go into the directory; the ids of a partly filled one
// come back here and fill it further.
constexpr uint32_t block_chunks_ahead = 8;
// A block of at least this many handles (4 MB, past the caches a walk
// keeps them in) is written past the caches: a host walking a large store
// reads its handles back from memory either way, and the stores then need
// no read of the lines first (on Zen 5 too: plain stores, or fills two
// chunks ahead instead of eight, made no walk faster).
constexpr uint64_t streamed_handles = uint64_t(1) << 18;
void fill_block(zarvel_document *document, zarvel_node_store *store, zarvel_handle_table *table, uint32_t chunk) {
    const uint32_t from = store->handle_block_ids;
    const uint32_t from_chunk = from >> zarvel_handle_chunk_shift;
    uint32_t to = from_chunk + block_chunks_ahead > chunk + 1 ? from_chunk + block_chunks_ahead : chunk + 1;
    if (to > store->handle_block_chunks) to = store->handle_block_chunks;
    uint64_t end = uint64_t(to) << zarvel_handle_chunk_shift;
    if (end > store->node_count) end = store->node_count;
    zarvel_node *block = store->handle_block;
    uint32_t id = from;
#if defined(__SSE2__)
    // One 16-byte store a handle: the document and the id (padding zeroed).
    // Streamed handles are fenced before the release store publishes them.
    if constexpr (sizeof(zarvel_node) == 16 && offsetof(zarvel_node, id) == 8) {
        const int64_t words = int64_t(reinterpret_cast<uintptr_t>(document));
        __m128i even = _mm_set_epi64x(int64_t(id), words), odd = _mm_set_epi64x(int64_t(id) + 1, words);
        const __m128i two = _mm_set_epi64x(2, 0);
        zarvel_node *handle = block + id;
        zarvel_node *const stop = block + (end - (end - id) % 2);
        if (uint64_t(store->handle_block_chunks) << zarvel_handle_chunk_shift >= streamed_handles &&
            reinterpret_cast<uintptr_t>(block) % 16 == 0) {
            for (; handle < stop; handle += 2) {
                _mm_stream_si128(reinterpret_cast<__m128i *>(handle), even);
                _mm_stream_si128(reinterpret_cast<__m128i *>(handle + 1), odd);
                even = _mm_add_epi64(even, two), odd = _mm_add_epi64(odd, two);
            }
            _mm_sfence();
        }
        for (; handle < stop; handle += 2) {
            _mm_storeu_si128(reinterpret_cast<__m128i *>(handle), even);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(handle + 1), odd);
            even = _mm_add_epi64(even, two), odd = _mm_add_epi64(odd, two);
        }
        id = uint32_t(handle - block);
    }
#endif
    for (; id < end; ++id) block[id] = {document, id};
    for (uint32_t c = from_chunk; c < to && (uint64_t(c) + 1) << zarvel_handle_chunk_shift <= end; ++c)
        std::atomic_ref<zarvel_node *>(table->chunks[c])
            .store(block + (uint64_t(c) << zarvel_handle_chunk_shift), std::memory_order_release);
    std::atomic_ref<uint32_t>(store->handle_block_ids).store(uint32_t(end), std::memory_order_release);
}

}  // namespace

zarvel_node *zarvel_node_handle_made(zarvel_document *document, zarvel_node_store *store, uint32_t id) {
    if (!document || !store || !store->live || id >= store->node_count) return nullptr;
    zvl::lock_guard hold(&store->lock);
    // Chunks are only ever put into the newest directory, under this lock, so
    // that no two threads make a handle for the same node.
    zarvel_handle_table *table = store->handles;
    uint32_t chunk = id >> zarvel_handle_chunk_shift;
    if (!table || chunk >= table->chunk_count) {
        bool first = !table;
        table = grown_directory(store, table, chunk);
        if (!table) return nullptr;
        // Small stores too: the block costs what their first chunk would,
        // and the reads find its handles with one compare.
        if (first && store->node_count) make_handle_block(store, table);
    }
    zarvel_node *handles = table->chunks[chunk];
    if (!handles && chunk < store->handle_block_chunks) {
        if (id >= store->handle_block_ids) fill_block(document, store, table, chunk);
        return store->handle_block + id;
    }
    if (!handles) {
        handles =
            static_cast<zarvel_node *>(zvl::allocate(store->allocator, zarvel_handle_chunk * sizeof(zarvel_node)));
        if (!handles) return nullptr;
        fill_chunk(document, table, chunk, handles);
    }
    return handles + (id & (zarvel_handle_chunk - 1));
}

int32_t zarvel_document_status(zarvel_document *document) {
    int32_t status = ZARVEL_INVALID_ARGUMENT;
    zarvel_document_body_status(document, &status);
    return status;
}

uint32_t zarvel_document_count(zarvel_document *document) {
    if (!document) return 0;
    // A body that serves the views counts its roots without a build.
    uint32_t served = 0;
    for (uint64_t n = 0; zarvel_document_pending_views(document, served, 0, 0, nullptr, 0, &n) == ZARVEL_OK;) ++served;
    if (served) return served;
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
