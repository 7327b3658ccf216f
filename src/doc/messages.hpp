// The texts of the documents' own failures, in one place like the other
// folders' texts. Callers and tests compare them: change a text only on
// purpose.
#pragma once

namespace zvl::doc::message {

// A build that failed for want of memory.
inline constexpr char strings_refused[] = "document texts pass the storage limit of 128 bytes per input byte";
inline constexpr char build_no_memory[] = "out of memory while building the document";

}  // namespace zvl::doc::message
