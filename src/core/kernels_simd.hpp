// Vector variants of the scanning table. Each returns exactly what the
// portable table returns; the table getter publishes the fastest one the
// processor runs.
#pragma once

#include <span>

#include "core/kernels.hpp"

namespace zvl {

struct kernel_variant {
    const char *name;
    const zarvel_kernels *(*table)();
    bool (*supported)();  // whether this processor runs it
};

// Every vector variant built for this target, slowest first; empty where
// there are none.
std::span<const kernel_variant> kernel_vector_variants();

}  // namespace zvl
