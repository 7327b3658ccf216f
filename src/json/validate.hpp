// Whole-text JSON validation (json/document.cpp).
#pragma once

#include <cstdint>

namespace zvl {

// Whole-text validation as zvl_json_document does it, with at most max_open
// containers open (capped at the library's 1000 levels). too_deep tells a
// failure at a bracket past that limit from a syntax error.
struct json_validation {
    bool valid = false;
    bool too_deep = false;
    uint64_t failed_at = 0;
};
json_validation json_validate(const char *text, uint64_t len, uint32_t max_open);

}  // namespace zvl
