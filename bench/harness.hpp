// Shared pieces of the benchmark program: timing with one untimed warm-up
// and a median of repetitions, result rows, input loading and the zarvel
// tree walk every document case uses.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "zarvel.h"

namespace zb {

extern volatile uint64_t sink_value;  // keeps results observable so no work is dropped
extern int repetitions;

struct measurement {
    double mbps = 0;  // median
    long faults = 0;  // minor faults of the median repetition
    bool ok = false;
    // A peer's: zarvel / peer as the median of the ratios of repetitions
    // taken in turn with zarvel's; 0 where the row has no timed zarvel body.
    double paired_ratio = 0;
};

struct row {
    std::string operation, input;
    uint64_t bytes = 0;
    measurement zarvel;
    std::vector<std::pair<std::string, measurement>> peers;
    // The timed zarvel body, run again in turn with each peer's (it holds
    // the case's references: used by peer() right after start_row only).
    std::function<bool()> zarvel_body;
};
extern std::vector<row> rows;

struct named_input {
    std::string name, text;
};

// Where the cases find their inputs: the generated ones and ../shared/bench-data.
struct input_dirs {
    std::string generated, shared;
};

std::string read_file(const std::string &path);
std::vector<named_input> load(const std::string &dir, std::initializer_list<const char *> names);
measurement measure(uint64_t bytes, const std::function<bool()> &body);
row &start_row(const std::string &op, const std::string &input, uint64_t bytes,
               const std::function<bool()> &zarvel_body);
void peer(row &r, const std::string &name, const std::function<bool()> &body);
// A zarvel call that returns one output to free with zarvel_free, its
// length through the argument; null when it fails.
using output_call = std::function<void *(uint64_t &length)>;
// Makes the output once, untimed: false when the call fails.
bool output_length(const output_call &call, uint64_t &length);
// The timed body of such a call: the length is kept observable, the output
// freed.
std::function<bool()> timed_output(output_call call);
uint64_t walk_document(zarvel_document *doc);
// The walk a host does to read values: kind, counts, seq_at / map_at, value,
// and zarvel_node_int / zarvel_node_float for numbers.
uint64_t walk_api_document(zarvel_document *doc);
// One scalar as walk_api_document reads it: typed numbers, else the text.
uint64_t walk_api_scalar(const zarvel_node *n);
// Peak memory of one run of body, in a forked child: the growth of the
// child's peak resident set (VmHWM after resetting it through
// /proc/self/clear_refs, after returning free heap pages with malloc_trim;
// the growth of ru_maxrss where that reset is refused) divided by the input
// size, so MB per input MB. faults = minor faults of that run. With
// touch_allocations, every allocation is written in full as it is made, so
// the peak is that of the bytes allocated (not only of the pages touched).
measurement peak_memory(uint64_t bytes, const std::function<bool()> &body, bool touch_allocations = false);

// A family of cases, selected by name with ZARVEL_BENCH_ONLY=a,b,...
struct family {
    const char *name;
    int order;  // position in the results table
    void (*run)(const input_dirs &dirs);
    family(const char *n, int o, void (*r)(const input_dirs &));
};

}  // namespace zb

#define ZB_FAMILY(name, order, fn) static const zb::family zb_family_registration_(name, order, fn)
