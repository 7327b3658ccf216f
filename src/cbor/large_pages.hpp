// The huge-page hint for large tables, under the name the CBOR code uses.
#pragma once

#include "core/large_pages.hpp"

namespace zvl::cbor {

using zvl::advise_large_pages;
using zvl::large_table_bytes;

}  // namespace zvl::cbor
