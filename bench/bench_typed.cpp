// Column plans, value drain and Marshal (cases to come).
#include <string>
#include <vector>

#include "harness.hpp"

namespace {

void run(const zb::input_dirs &) {}

}  // namespace

ZB_FAMILY("typed", 100, run);
