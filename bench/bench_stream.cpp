// Streaming a very large generated YAML stream (cases to come).
#include <string>
#include <vector>

#include "harness.hpp"

namespace {

void run(const zb::input_dirs &) {}

}  // namespace

ZB_FAMILY("stream", 110, run);
