// A very large generated YAML stream through the two front ends that read a
// stream in bounded memory: the recorder fed in 1 MiB chunks, and iterparse
// over the whole text. The stream is one 1 MiB block of whole documents over
// and over: the recorder is fed that block again and again, and iterparse
// reads a text made of mappings of one memory file, whose pages are released
// behind the reader, so that neither the generator nor the input holds the
// stream in memory and the peak resident set shows what the library keeps.
//   ZARVEL_BENCH_STREAM_MB  stream size in MiB (default 1024 when only this
//                           family runs, else 64)
// Each case runs once: the input is far larger than any cache, so a warm-up
// and repetitions would only lengthen the run.
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "harness.hpp"

namespace {

using namespace zb;

constexpr uint64_t block_size = 1 << 20;

// Whole documents filling exactly one block (a comment pads the end).
uint64_t documents_per_block = 0;
std::string make_block() {
    std::string block;
    for (int i = 0; block.size() < block_size - 400; ++i, ++documents_per_block) {
        std::string n = std::to_string(i);
        block += "---\nid: " + n + "\nname: \"item " + n + "\"\ntags: [alpha, beta, " + n +
                 "]\nnested:\n  list:\n    - x: " + n + ".5\n      y: true\n    - x: -" + n +
                 "\n      y: null\n  anchor: &a" + n + " {k: v}\n  again: *a" + n + "\ntext: |\n  line one\n  line " +
                 n + "\n";
    }
    block += "#";
    block.append(block_size - 1 - block.size(), '.');
    block += "\n";
    return block;
}

uint64_t stream_bytes() {
    if (const char *mb = std::getenv("ZARVEL_BENCH_STREAM_MB"))
        return std::max<uint64_t>(1, std::strtoull(mb, nullptr, 10)) * block_size;
    const char *only = std::getenv("ZARVEL_BENCH_ONLY");
    return (only && std::strcmp(only, "stream") == 0 ? 1024 : 64) * block_size;
}

// Peak resident set since the last reset, in MB (VmHWM; the reset through
// clear_refs needs Linux 4.0 or later).
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }
double peak_mb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024;
    return 0;
}
long minor_faults_now() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}

// One timed run of body over bytes; the row's input names the peak.
void single_run(const std::string &operation, uint64_t bytes, const std::function<bool()> &body) {
    std::fprintf(stderr, "%-22s %-26s zarvel ...", operation.c_str(), "generated stream");
    reset_peak();
    long faults = minor_faults_now();
    auto start = std::chrono::steady_clock::now();
    bool ok = body();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    measurement m{ok ? double(bytes) / 1e6 / seconds : 0, minor_faults_now() - faults, ok};
    char input[96];
    std::snprintf(input, sizeof input, "%llu MiB stream, peak RSS %.0f MB", (unsigned long long)(bytes / block_size),
                  peak_mb());
    rows.push_back({operation, input, bytes, m, {}, {}});
    std::fprintf(stderr, " %.1f MB/s, %s\n", m.mbps, input);
}

bool run_recorder(const std::string &block, uint64_t total) {
    zarvel_recorder *recorder = zarvel_recorder_new();
    bool ok = recorder != nullptr;
    uint64_t records = 0;
    for (uint64_t fed = 0; ok && fed < total; fed += block_size) {
        ok = zarvel_recorder_feed(recorder, block.data(), block_size, 0) == 0;
        uint64_t count = 0;
        const zarvel_record *r = zarvel_recorder_records(recorder, &count);
        for (uint64_t i = 0; i < count; ++i) records += r[i].kind;
    }
    ok = ok && zarvel_recorder_feed(recorder, nullptr, 0, 1) == 0;
    sink_value = records;
    zarvel_recorder_free(recorder);
    return ok;
}

// The stream as consecutive mappings of one memory file holding the block.
struct mapped_stream {
    char *base = nullptr;
    uint64_t length = 0;
    int fd = -1;
    mapped_stream(const std::string &block, uint64_t total) {
        fd = memfd_create("zarvel-stream", 0);
        if (fd < 0 || ftruncate(fd, block_size) != 0 || write(fd, block.data(), block_size) != ssize_t(block_size))
            return;
        void *area = mmap(nullptr, total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (area == MAP_FAILED) return;
        base = static_cast<char *>(area);
        length = total;
        for (uint64_t at = 0; at < total; at += block_size)
            if (mmap(base + at, block_size, PROT_READ, MAP_SHARED | MAP_FIXED, fd, 0) == MAP_FAILED) length = 0;
    }
    // Releases the pages of every block wholly before `position` less one.
    // Releases the pages of every block before the one holding the reader
    // (known from the documents read: the event texts are copies).
    void release_before(uint64_t block, uint64_t &released) {
        for (; released + 1 < block; ++released) madvise(base + released * block_size, block_size, MADV_DONTNEED);
    }
    ~mapped_stream() {
        if (base) munmap(base, length ? length : block_size);
        if (fd >= 0) close(fd);
    }
};

bool run_iterparse(const std::string &block, uint64_t total) {
    mapped_stream text(block, total);
    if (!text.length) return false;
    zarvel_iterparse *it = zarvel_iterparse_new(text.base, text.length);
    uint64_t count = 0, events = 0, released = 0, documents = 0;
    while (const zarvel_event_view *batch = zarvel_iterparse_next(it, &count)) {
        events += count;
        sink_value = batch[0].kind;
        text.release_before(++documents / documents_per_block, released);
    }
    bool ok = zarvel_iterparse_status(it, nullptr, nullptr) == 0;
    sink_value = events;
    zarvel_iterparse_free(it);
    return ok;
}

void run(const input_dirs &) {
    const std::string block = make_block();
    const uint64_t total = stream_bytes();
    single_run("YAML recorder 1 MiB chunks", total, [&] { return run_recorder(block, total); });
    single_run("YAML iterparse", total, [&] { return run_iterparse(block, total); });
}

}  // namespace

ZB_FAMILY("stream", 110, run);
