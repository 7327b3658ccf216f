// The vector UTF-8 validator, written once for any vector width. utf8.cpp
// includes this file once per width, inside a namespace that names the
// vector struct V (core/simd.hpp) and the target attribute ZVL_TARGET; so
// there is deliberately no include guard.
//
// Blocks of 64 bytes that are plain (ASCII; with printable, also no control
// but tab, LF, CR) pass with a few compares. Other blocks get the full check
// below, which looks at each byte together with the three before it and
// flags a block exactly when it holds a fault. The exact offset of a fault
// comes from the portable validator, restarted at the character boundary
// where the faulty block begins: the bytes before it are known good, so the
// portable walk from there reaches the same answer as from the start.

using vec = V::v;

// The bits of a vector whose bytes are all set.
constexpr uint64_t full_mask = (uint64_t{1} << V::width) - 1;

// Unsigned a <= c, byte by byte.
ZVL_TARGET inline vec at_most(vec a, uint8_t c) { return V::eq(V::min_u(a, V::splat(c)), a); }

// 0xFF in each byte of cur that is a fault, or the start of a fault that
// only the bytes before it show (prev is the vector before cur).
template <bool printable>
ZVL_TARGET inline vec faults(vec cur, vec prev) {
    const vec zero = V::zero();
    const vec p1 = V::before<1>(cur, prev), p2 = V::before<2>(cur, prev), p3 = V::before<3>(cur, prev);
    // Continuation bytes 80-BF are the signed bytes below -64 (0xC0).
    const vec continuation = V::gt_signed(V::splat(0xC0), cur);
    // A continuation is due exactly after a lead C0+ (one back), E0+ (two
    // back) or F0+ (three back); a fault is a mismatch either way.
    const vec due = V::either(V::either(V::sub_sat_u(p1, V::splat(0xBF)), V::sub_sat_u(p2, V::splat(0xDF))),
                              V::sub_sat_u(p3, V::splat(0xEF)));
    vec bad = V::eq(V::eq(due, zero), continuation);
    // Leads that never start a character: C0, C1 and F5 to FF.
    bad = V::either(bad, V::eq(V::both(cur, V::splat(0xFE)), V::splat(0xC0)));
    bad = V::either(bad, V::differ(at_most(cur, 0xF4), V::eq(cur, cur)));
    // Second bytes that make an overlong form, a surrogate or a value above
    // 10FFFF: E0 80-9F, ED A0-BF, F0 80-8F, F4 90-BF.
    const vec upto9f = at_most(cur, 0x9F), upto8f = at_most(cur, 0x8F);
    bad = V::either(bad, V::both(V::eq(p1, V::splat(0xE0)), upto9f));
    bad = V::either(bad, V::but_not(V::eq(p1, V::splat(0xED)), upto9f));
    bad = V::either(bad, V::both(V::eq(p1, V::splat(0xF0)), upto8f));
    bad = V::either(bad, V::but_not(V::eq(p1, V::splat(0xF4)), upto8f));
    if constexpr (printable) {
        // C0 controls but tab, LF, CR; DEL.
        const vec allowed = V::either(V::either(V::eq(cur, V::splat('\t')), V::eq(cur, V::splat('\n'))),
                                      V::eq(cur, V::splat('\r')));
        bad = V::either(bad, V::but_not(at_most(cur, 0x1F), allowed));
        bad = V::either(bad, V::eq(cur, V::splat(0x7F)));
        // C1 controls C2 80-9F but NEL (C2 85).
        bad = V::either(bad, V::but_not(V::both(V::eq(p1, V::splat(0xC2)), upto9f), V::eq(cur, V::splat(0x85))));
        // U+FFFE and U+FFFF: EF BF BE, EF BF BF.
        const vec bf_tail = V::both(V::eq(p2, V::splat(0xEF)), V::eq(p1, V::splat(0xBF)));
        bad = V::either(bad, V::both(bf_tail, V::but_not(at_most(cur, 0xBF), at_most(cur, 0xBD))));
    }
    return bad;
}

// The same for text without leads of three- or four-byte characters (none in
// cur and none in the three bytes before it): Greek, Cyrillic, Armenian,
// Hebrew, Arabic and the like. Only the lead-continuation pairing, the C0
// and C1 leads and the controls are left to check.
template <bool printable>
ZVL_TARGET inline vec short_faults(vec cur, vec prev) {
    const vec p1 = V::before<1>(cur, prev);
    const vec continuation = V::gt_signed(V::splat(0xC0), cur);
    const vec due = V::sub_sat_u(p1, V::splat(0xBF));
    vec bad = V::eq(V::eq(due, V::zero()), continuation);
    bad = V::either(bad, V::eq(V::both(cur, V::splat(0xFE)), V::splat(0xC0)));
    if constexpr (printable) {
        const vec allowed = V::either(V::either(V::eq(cur, V::splat('\t')), V::eq(cur, V::splat('\n'))),
                                      V::eq(cur, V::splat('\r')));
        bad = V::either(bad, V::but_not(at_most(cur, 0x1F), allowed));
        bad = V::either(bad, V::eq(cur, V::splat(0x7F)));
        bad = V::either(bad, V::but_not(V::both(V::eq(p1, V::splat(0xC2)), at_most(cur, 0x9F)),
                                        V::eq(cur, V::splat(0x85))));
    }
    return bad;
}

// True when every byte is plain for the fast path.
template <bool printable>
ZVL_TARGET inline bool plain(vec x) {
    if constexpr (printable) {
        // 0x20-0x7E: signed compares put the bytes of 0x80 and above below 0x20.
        const vec text = V::both(V::gt_signed(x, V::splat(0x1F)), V::gt_signed(V::splat(0x7F), x));
        const vec breaks = V::either(V::either(V::eq(x, V::splat('\t')), V::eq(x, V::splat('\n'))),
                                     V::eq(x, V::splat('\r')));
        return V::bits(V::either(text, breaks)) == full_mask;
    } else {
        return !V::any(x);
    }
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

template <bool printable>
ZVL_TARGET uint64_t first_invalid(const uint8_t *p, uint64_t n) {
    const auto *text = reinterpret_cast<const char *>(p);
    vec prev = V::zero();
    bool open = false;  // the bytes so far end inside a character
    uint64_t i = 0;
    for (; n - i >= 64; i += 64) {
        vec part[V::parts];
        bool all_plain = true;
        for (unsigned k = 0; k < V::parts; ++k) {
            part[k] = V::load(text + i + k * V::width);
            all_plain = all_plain && plain<printable>(part[k]);
        }
        if (!(all_plain && !open)) {
            // Bytes of E0 and above lead three- and four-byte characters.
            vec short_bytes = at_most(part[0], 0xDF);
            for (unsigned k = 1; k < V::parts; ++k) short_bytes = V::both(short_bytes, at_most(part[k], 0xDF));
            const bool short_only = V::bits(short_bytes) == full_mask &&
                                    (i == 0 || (p[i - 1] < 0xE0 && p[i - 2] < 0xE0 && p[i - 3] < 0xF0));
            vec bad;
            if (short_only) {
                bad = short_faults<printable>(part[0], prev);
                for (unsigned k = 1; k < V::parts; ++k) bad = V::either(bad, short_faults<printable>(part[k], part[k - 1]));
            } else {
                bad = faults<printable>(part[0], prev);
                for (unsigned k = 1; k < V::parts; ++k) bad = V::either(bad, faults<printable>(part[k], part[k - 1]));
            }
            if (V::any(bad)) break;
            open = p[i + 63] >= 0xC0 || p[i + 62] >= 0xE0 || p[i + 61] >= 0xF0;
        }
        prev = part[V::parts - 1];
    }
    if (n - i >= 64 || (i == n && open)) {
        const uint64_t j = restart_point(p, i);
        return j + first_invalid_portable(p + j, n - j, printable);
    }
    if (i == n) return n;
    // The last bytes, padded with spaces: a character cut by the end then
    // misses its continuation and is flagged.
    alignas(64) char buffer[64];
    std::memset(buffer, ' ', sizeof buffer);
    std::memcpy(buffer, text + i, n - i);
    vec bad = V::zero();
    for (unsigned k = 0; k < V::parts; ++k) {
        const vec cur = V::load(buffer + k * V::width);
        bad = V::either(bad, faults<printable>(cur, prev));
        prev = cur;
    }
    if (!V::any(bad)) return n;
    const uint64_t j = restart_point(p, i);
    return j + first_invalid_portable(p + j, n - j, printable);
}

ZVL_TARGET uint64_t first_invalid_utf8(const uint8_t *p, uint64_t n, bool printable) {
    return printable ? first_invalid<true>(p, n) : first_invalid<false>(p, n);
}
