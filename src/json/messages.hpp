// The texts of the JSON readers' failures (the tape and the JSON documents),
// in one place so the wording stays uniform. Callers and tests compare them:
// change a text only on purpose. The "at byte" ones are formats for
// zvl::error_at_byte.
#pragma once

namespace zvl::json::message {

inline constexpr char not_strict[] = "not strict JSON at byte %zu";
inline constexpr char not_strict_lenient[] = "not strict JSON at byte %zu (lenient tape)";
inline constexpr char ill_formed_utf8[] = "ill-formed UTF-8 at byte %zu";
inline constexpr char empty_lenient[] = "empty document (lenient tape)";
inline constexpr char tape_too_long[] = "tape spans are uint32; document exceeds 4 GiB";
inline constexpr char walk_rejected[] = "tape walk rejected a validated document at byte %zu";
inline constexpr char scalar_rejected[] = "tape scalar conversion rejected a validated root at byte %zu";

}  // namespace zvl::json::message
