// Visitor calls shared by the three entry points: each returns true when the
// walk goes on (a null slot counts as going on).
#pragma once

#include <cstdint>

#include "zarvel.h"

namespace zvl::visit {

template <typename Slot, typename... Args>
inline bool call(const zarvel_visitor *v, Slot slot, void *user, Args... args) {
    auto fn = v->*slot;
    return !fn || fn(user, args...) == 0;
}

}  // namespace zvl::visit
