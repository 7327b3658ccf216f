// The vector UTF-8 validator, written once for any vector width. utf8.cpp
// includes this file once per width, inside a namespace that names the
// vector struct V (core/simd.hpp) and the target attribute ZVL_TARGET; so
// there is deliberately no include guard.
//
// Blocks of 64 bytes that are plain (ASCII; with printable, also no control
// but tab, LF, CR) pass with a few compares, and well-formed two-byte text
// with a few bit masks. Other blocks get the full check below, which looks at
// each byte together with the three before it and flags a block exactly when
// it holds a fault. The exact offset of a fault
// comes from the portable validator, restarted at the character boundary
// where the faulty block begins: the bytes before it are known good, so the
// portable walk from there reaches the same answer as from the start.

using vec = V::v;

// The bits of a vector whose bytes are all set.
constexpr uint64_t full_mask = V::width == 64 ? ~uint64_t{0} : (uint64_t{1} << (V::width % 64)) - 1;

// Unsigned a <= c, byte by byte.
ZVL_TARGET inline vec at_most(vec a, uint8_t c) { return V::eq(V::min_u(a, V::splat(c)), a); }

// The pair check (core/utf8_pairs.hpp): three table lookups, one per
// nibble of a byte and the byte before it, intersected.
namespace pair_class = zvl::utf8_pairs;

// Non-zero in each byte of cur that is a fault, or the start of a fault that
// only the bytes before it show (prev is the vector before cur).
template <bool printable>
ZVL_TARGET inline vec faults(vec cur, vec prev) {
    const vec p1 = V::before<1>(cur, prev), p2 = V::before<2>(cur, prev), p3 = V::before<3>(cur, prev);
    const vec pairs = V::both(V::both(V::lookup(V::table(pair_class::table.first_high), V::high_nibbles(p1)),
                                      V::lookup(V::table(pair_class::table.first_low), V::low_nibbles(p1))),
                              V::lookup(V::table(pair_class::table.second_high), V::high_nibbles(cur)));
    // The top bit where a third byte (a lead E0+ two back) or a fourth (F0+
    // three back) is due: exactly where two continuations in a row are right.
    const vec due = V::both(V::either(V::sub_sat_u(p2, V::splat(0xE0 - 0x80)), V::sub_sat_u(p3, V::splat(0xF0 - 0x80))),
                            V::splat(0x80));
    vec bad = V::differ(pairs, due);
    if constexpr (printable) {
        // C0 controls but tab, LF, CR; DEL.
        const vec allowed =
            V::either(V::either(V::eq(cur, V::splat('\t')), V::eq(cur, V::splat('\n'))), V::eq(cur, V::splat('\r')));
        bad = V::either(bad, V::but_not(at_most(cur, 0x1F), allowed));
        bad = V::either(bad, V::eq(cur, V::splat(0x7F)));
        // C1 controls C2 80-9F but NEL (C2 85).
        bad = V::either(bad,
                        V::but_not(V::both(V::eq(p1, V::splat(0xC2)), at_most(cur, 0x9F)), V::eq(cur, V::splat(0x85))));
        // U+FFFE and U+FFFF: EF BF BE, EF BF BF.
        const vec bf_tail = V::both(V::eq(p2, V::splat(0xEF)), V::eq(p1, V::splat(0xBF)));
        bad = V::either(bad, V::both(bf_tail, V::but_not(at_most(cur, 0xBF), at_most(cur, 0xBD))));
    }
    return bad;
}

// The printable check for text without leads of three- or four-byte
// characters (none in cur and none in the three bytes before it): Greek,
// Cyrillic, Armenian, Hebrew, Arabic and the like. Only the lead-continuation
// pairing, the C0 and C1 leads and the controls are left to check.
template <bool printable>
ZVL_TARGET inline vec short_faults(vec cur, vec prev) {
    const vec p1 = V::before<1>(cur, prev);
    const vec continuation = V::gt_signed(V::splat(0xC0), cur);
    const vec due = V::sub_sat_u(p1, V::splat(0xBF));
    vec bad = V::eq(V::eq(due, V::zero()), continuation);
    bad = V::either(bad, V::eq(V::both(cur, V::splat(0xFE)), V::splat(0xC0)));
    if constexpr (printable) {
        const vec allowed =
            V::either(V::either(V::eq(cur, V::splat('\t')), V::eq(cur, V::splat('\n'))), V::eq(cur, V::splat('\r')));
        bad = V::either(bad, V::but_not(at_most(cur, 0x1F), allowed));
        bad = V::either(bad, V::eq(cur, V::splat(0x7F)));
        bad = V::either(bad,
                        V::but_not(V::both(V::eq(p1, V::splat(0xC2)), at_most(cur, 0x9F)), V::eq(cur, V::splat(0x85))));
    }
    return bad;
}

// True when every byte is plain for the printable fast path: 0x20-0x7E, tab,
// LF, CR.
ZVL_TARGET inline bool printable_plain(vec x) {
    // Signed compares put the bytes of 0x80 and above below 0x20.
    const vec text = V::both(V::gt_signed(x, V::splat(0x1F)), V::gt_signed(V::splat(0x7F), x));
    const vec breaks =
        V::either(V::either(V::eq(x, V::splat('\t')), V::eq(x, V::splat('\n'))), V::eq(x, V::splat('\r')));
    return V::bits(V::either(text, breaks)) == full_mask;
}

// The boundary at or before i where the portable walk resumes: the last
// non-continuation among the three bytes before i (a lead or ASCII byte,
// which in a good prefix always starts a character), else i itself (three
// continuations end a four-byte character).
inline uint64_t restart_point(const uint8_t *p, uint64_t i) {
    for (uint64_t k = 1; k <= 3 && k <= i; ++k)
        if ((p[i - k] & 0xC0) != 0x80) return i - k;
    return i;
}

// Two-byte text by bit masks (well-formedness only). With no byte C0, C1 or
// E0-FF in the chunk, it is well-formed exactly when the continuations are
// the bytes right after the leads, the first one after a lead that ended the
// chunk before (lead, 0 or 1). x ^ 0x9E maps C0, C1 and E0-FF, and nothing
// else, to 5E-7F, the largest signed bytes.
struct two_byte_constants {
    vec below_c0, flip, below_bad;
    // Held in registers: the compiler would otherwise build them anew in
    // every round of the loop.
    ZVL_TARGET two_byte_constants() : below_c0(V::splat(0xC0)), flip(V::splat(0x9E)), below_bad(V::splat(0x5D)) {
        asm("" : "+v"(below_c0), "+v"(flip), "+v"(below_bad));
    }
};

// The bytes of a chunk mapped so that C0, C1 and E0-FF are the largest.
ZVL_TARGET inline vec flipped_largest(const two_byte_constants &c, const vec *part) {
    vec largest = V::differ(part[0], c.flip);
    for (unsigned k = 1; k < V::parts; ++k) largest = V::max_s(largest, V::differ(part[k], c.flip));
    return largest;
}

// The pairing of leads and continuations, given no byte C0, C1 or E0-FF.
ZVL_TARGET inline bool two_byte_pairs(const two_byte_constants &c, const vec *part, uint64_t high, uint64_t &lead) {
    // Continuations 80-BF are the signed bytes below -64 (0xC0).
    uint64_t continuation = V::bits_below(part[0], c.below_c0);
    for (unsigned k = 1; k < V::parts; ++k) continuation |= V::bits_below(part[k], c.below_c0) << (k * V::width);
    const uint64_t leads = high ^ continuation;
    if ((((leads << 1) | lead) ^ continuation) != 0) return false;
    lead = leads >> 63;
    return true;
}

ZVL_TARGET inline bool two_byte_chunk(const two_byte_constants &c, const vec *part, uint64_t high, uint64_t &lead) {
    return V::bits_below(c.below_bad, flipped_largest(c, part)) == 0 && two_byte_pairs(c, part, high, lead);
}

// The printable rule's part that the pairing does not see, for a chunk whose
// leads are C3-DF only: no C0 control but tab, LF, CR, and no DEL. A C2 lead
// (whose C1 continuations the full check weighs), in the chunk or just
// before it (after_c2), sends the chunk to the full check.
ZVL_TARGET inline bool two_byte_printable(const vec *part, bool after_c2) {
    vec bad = V::zero();
    for (unsigned k = 0; k < V::parts; ++k) {
        const vec x = part[k];
        const vec control = V::both(V::gt_signed(V::splat(0x20), x), V::gt_signed(x, V::splat(0xFF)));
        const vec allowed =
            V::either(V::either(V::eq(x, V::splat('\t')), V::eq(x, V::splat('\n'))), V::eq(x, V::splat('\r')));
        bad = V::either(bad, V::either(V::but_not(control, allowed),
                                       V::either(V::eq(x, V::splat(0x7F)), V::eq(x, V::splat(0xC2)))));
    }
    return !after_c2 && !V::nonzero(bad);
}

// The vector before the one at i, for the checks that look back.
ZVL_TARGET inline vec before(const char *text, uint64_t i) { return i ? V::load(text + i - V::width) : V::zero(); }

template <bool printable>
ZVL_TARGET uint64_t first_invalid(const uint8_t *p, uint64_t n) {
    const auto *text = reinterpret_cast<const char *>(p);
    const two_byte_constants constants;
    bool open = false;  // the bytes so far end inside a character
    uint64_t lead = 0;  // ... whose two-byte lead (C2-DF) is the last byte
    uint64_t i = 0;
    for (;;) {
        vec part[V::parts];
        if constexpr (!printable) {
            // ASCII and two-byte text; open here only after a two-byte lead.
            if (!open || lead) {
                // Two chunks a round: the loop's own steps weigh on so short a check.
                for (; n - i >= 128; i += 128) {
                    vec second[V::parts];
                    uint64_t high = 0, high_second = 0;
                    for (unsigned k = 0; k < V::parts; ++k) {
                        part[k] = V::load(text + i + k * V::width);
                        second[k] = V::load(text + i + 64 + k * V::width);
                        high |= V::bits(part[k]) << (k * V::width);
                        high_second |= V::bits(second[k]) << (k * V::width);
                    }
                    if ((high | high_second | lead) == 0) continue;
                    // One test of both chunks for bytes the pairing cannot
                    // settle; either holding one sends the first to the full check.
                    const vec largest = V::max_s(flipped_largest(constants, part), flipped_largest(constants, second));
                    if (V::bits_below(constants.below_bad, largest) != 0) break;
                    if (!two_byte_pairs(constants, part, high, lead)) break;
                    if (!two_byte_pairs(constants, second, high_second, lead)) {
                        i += 64;
                        break;
                    }
                }
                for (; n - i >= 64; i += 64) {
                    uint64_t high = 0;
                    for (unsigned k = 0; k < V::parts; ++k) {
                        part[k] = V::load(text + i + k * V::width);
                        high |= V::bits(part[k]) << (k * V::width);
                    }
                    if ((high | lead) == 0) continue;
                    if (!two_byte_chunk(constants, part, high, lead)) break;
                }
                open = lead != 0;
            }
        } else if (!open || lead) {
            // Two-byte text (Greek, Cyrillic, Armenian, ...) a chunk at a
            // time by the pairing, with the printable rule's extra checks.
            for (; n - i >= 64; i += 64) {
                uint64_t high = 0;
                for (unsigned k = 0; k < V::parts; ++k) {
                    part[k] = V::load(text + i + k * V::width);
                    high |= V::bits(part[k]) << (k * V::width);
                }
                if (high == 0) {
                    if (lead) break;
                    bool plain = true;
                    for (unsigned k = 0; k < V::parts; ++k) plain = plain && printable_plain(part[k]);
                    if (!plain) break;
                    continue;
                }
                if (!two_byte_printable(part, i != 0 && p[i - 1] == 0xC2)) break;
                if (!two_byte_chunk(constants, part, high, lead)) break;
            }
            open = lead != 0;
        }
        if (n - i < 64) break;
        for (unsigned k = 0; k < V::parts; ++k) part[k] = V::load(text + i + k * V::width);
        bool short_only = false;
        if constexpr (printable) {
            bool all_plain = true;
            for (unsigned k = 0; k < V::parts; ++k) all_plain = all_plain && printable_plain(part[k]);
            if (all_plain && !open) {
                i += 64;
                continue;
            }
            // Bytes of E0 and above lead three- and four-byte characters.
            vec short_bytes = at_most(part[0], 0xDF);
            for (unsigned k = 1; k < V::parts; ++k) short_bytes = V::both(short_bytes, at_most(part[k], 0xDF));
            short_only = V::bits(short_bytes) == full_mask &&
                         (i == 0 || (p[i - 1] < 0xE0 && p[i - 2] < 0xE0 && p[i - 3] < 0xF0));
        }
        const vec prev = before(text, i);
        vec bad;
        if (short_only) {
            bad = short_faults<printable>(part[0], prev);
            for (unsigned k = 1; k < V::parts; ++k) bad = V::either(bad, short_faults<printable>(part[k], part[k - 1]));
        } else {
            bad = faults<printable>(part[0], prev);
            for (unsigned k = 1; k < V::parts; ++k) bad = V::either(bad, faults<printable>(part[k], part[k - 1]));
        }
        if (V::nonzero(bad)) break;
        open = p[i + 63] >= 0xC0 || p[i + 62] >= 0xE0 || p[i + 61] >= 0xF0;
        // C0 and C1 stay with the pair check, which sees them with the next byte.
        lead = p[i + 63] >= 0xC2 && p[i + 63] < 0xE0;
        i += 64;
    }
    if (n - i >= 64 || (i == n && open)) {
        const uint64_t j = restart_point(p, i);
        return j + first_invalid_utf8_portable(p + j, n - j, printable);
    }
    if (i == n) return n;
    // The last bytes, padded with spaces: a character cut by the end then
    // misses its continuation and is flagged.
    alignas(64) char buffer[64];
    std::memset(buffer, ' ', sizeof buffer);
    std::memcpy(buffer, text + i, n - i);
    vec prev = before(text, i);
    vec bad = V::zero();
    for (unsigned k = 0; k < V::parts; ++k) {
        const vec cur = V::load(buffer + k * V::width);
        bad = V::either(bad, faults<printable>(cur, prev));
        prev = cur;
    }
    if (!V::nonzero(bad)) return n;
    const uint64_t j = restart_point(p, i);
    return j + first_invalid_utf8_portable(p + j, n - j, printable);
}

ZVL_TARGET uint64_t first_invalid_utf8(const uint8_t *p, uint64_t n, bool printable) {
    return printable ? first_invalid<true>(p, n) : first_invalid<false>(p, n);
}
