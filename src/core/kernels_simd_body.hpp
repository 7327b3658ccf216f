// The vector kernels of the scanning table, written once for any vector
// width. kernels_simd.cpp includes this file once per width, inside a
// namespace that names the vector struct V (core/simd.hpp) and the target
// attribute ZVL_TARGET; so there is deliberately no include guard.
//
// The text is read 64 bytes per step ("chunk"); every predicate becomes a
// 64-bit mask with bit k for byte k of the chunk. Near the end of the data a
// chunk is read from the last 64 bytes (and its mask shifted into place), or,
// when the data is shorter than 64 bytes, from a padded copy: no kernel reads
// a byte outside [data, data + length).

using vec = V::v;

struct chunk {
    vec part[V::parts];
};

ZVL_TARGET inline chunk load_chunk(const char *p) {
    chunk c;
    for (unsigned k = 0; k < V::parts; ++k) c.part[k] = V::load(p + k * V::width);
    return c;
}

// A chunk of the avail (< 64) bytes at p, the rest filled with fill.
ZVL_TARGET inline chunk load_padded(const char *p, uint64_t avail, uint8_t fill) {
    alignas(64) char buffer[64];
    std::memset(buffer, fill, sizeof buffer);
    std::memcpy(buffer, p, avail);
    return load_chunk(buffer);
}

// Where to load the chunk of bytes [at, at + 64) of data: a pointer with 64
// readable bytes and the number of low mask bits to drop so that bit 0 is
// byte at. buffer (64 bytes) holds a zero-padded copy when data is short.
struct window {
    const char *p;
    unsigned skip;
    uint64_t valid;  // bits of the bytes that exist
};

inline window window_at(const char *data, uint64_t length, uint64_t at, char *buffer) {
    const uint64_t rest = length - at;
    if (rest >= 64) return {data + at, 0, ~uint64_t{0}};
    const uint64_t valid = (uint64_t{1} << rest) - 1;
    if (length >= 64) return {data + length - 64, static_cast<unsigned>(64 - rest), valid};
    std::memset(buffer, 0, 64);
    std::memcpy(buffer, data + at, rest);
    return {buffer, 0, valid};
}

ZVL_TARGET inline uint64_t equal_mask(const chunk &c, vec b) {
    uint64_t m = 0;
    for (unsigned k = 0; k < V::parts; ++k) m |= V::bits(V::eq(c.part[k], b)) << (k * V::width);
    return m;
}

// Bytes below 0x20: unsigned x <= 0x1F exactly when min(x, 0x1F) == x.
ZVL_TARGET inline vec below_space(vec x) { return V::eq(V::min_u(x, V::splat(0x1F)), x); }

inline unsigned lowest(uint64_t m) { return static_cast<unsigned>(__builtin_ctzll(m)); }

// ---- counts ----------------------------------------------------------------
//
// Counting adds the compare results (0 or -1 per byte) into byte lanes and
// sums the lanes before any can overflow: a chunk adds at most V::parts to
// a lane. The last partial chunk is a padded copy whose fill matches nothing
// counted.

constexpr uint64_t rounds_per_sum = 255 / V::parts;

ZVL_TARGET uint64_t count(const char *data, uint64_t length, uint8_t byte) {
    const vec b = V::splat(byte);
    uint64_t total = 0, i = 0;
    while (i < length) {
        vec lanes = V::zero();
        for (uint64_t r = 0; r < rounds_per_sum && i < length; ++r, i += 64) {
            const uint64_t rest = length - i;
            chunk c = rest >= 64 ? load_chunk(data + i) : load_padded(data + i, rest, byte ^ 1);
            for (unsigned k = 0; k < V::parts; ++k) lanes = V::sub(lanes, V::eq(c.part[k], b));
        }
        total += V::byte_sum(lanes);
    }
    return total;
}

ZVL_TARGET void count3(const char *data, uint64_t length, uint8_t b0, uint8_t b1, uint8_t b2, uint64_t *c0,
                       uint64_t *c1, uint64_t *c2) {
    uint8_t fill = 0;
    while (fill == b0 || fill == b1 || fill == b2) ++fill;
    const vec v0 = V::splat(b0), v1 = V::splat(b1), v2 = V::splat(b2);
    uint64_t n0 = 0, n1 = 0, n2 = 0, i = 0;
    while (i < length) {
        vec l0 = V::zero(), l1 = V::zero(), l2 = V::zero();
        for (uint64_t r = 0; r < rounds_per_sum && i < length; ++r, i += 64) {
            const uint64_t rest = length - i;
            chunk c = rest >= 64 ? load_chunk(data + i) : load_padded(data + i, rest, fill);
            for (unsigned k = 0; k < V::parts; ++k) {
                l0 = V::sub(l0, V::eq(c.part[k], v0));
                l1 = V::sub(l1, V::eq(c.part[k], v1));
                l2 = V::sub(l2, V::eq(c.part[k], v2));
            }
        }
        n0 += V::byte_sum(l0);
        n1 += V::byte_sum(l1);
        n2 += V::byte_sum(l2);
    }
    if (c0) *c0 = n0;
    if (c1) *c1 = n1;
    if (c2) *c2 = n2;
}

ZVL_TARGET void copy_count3(char *destination, const char *source, uint64_t length, uint8_t b0, uint8_t b1, uint8_t b2,
                            uint64_t *c0, uint64_t *c1, uint64_t *c2) {
    if (length) std::memcpy(destination, source, length);
    count3(destination, length, b0, b1, b2, c0, c1, c2);
}

// A vector a step; the last bytes in one step that ends at the length
// (copying again, unchanged, the bytes before it already copied); a text
// shorter than a vector byte by byte.
ZVL_TARGET uint64_t copy_until(char *destination, const char *source, uint64_t length, uint8_t byte) {
    const vec b = V::splat(byte);
    uint64_t i = 0;
    for (; i + V::width <= length; i += V::width) {
        const vec x = V::load(source + i);
        V::store(destination + i, x);
        if (const uint64_t m = V::bits(V::eq(x, b))) return i + lowest(m);
    }
    if (i == length) return i;
    if (length >= V::width) {
        const uint64_t at = length - V::width;
        const vec x = V::load(source + at);
        V::store(destination + at, x);
        const uint64_t m = V::bits(V::eq(x, b)) >> (i - at);
        return m ? i + lowest(m) : length;
    }
    for (; i < length && static_cast<uint8_t>(source[i]) != byte; ++i) destination[i] = source[i];
    return i;
}

// Census: eleven counted bytes, the high-bit flag and the control count.
// The padding byte of the last chunk is a space, which none of them counts.
constexpr uint8_t census_bytes[11] = {'\n', ',', '-', ':', '[', '{', '"', '\'', '|', '&', '#'};

// Controls: 0x00-0x08, 0x0B, 0x0C, 0x0E-0x1F and 0x7F.
ZVL_TARGET inline vec control_bytes(vec x) {
    vec allowed = V::either(V::either(V::eq(x, V::splat('\t')), V::eq(x, V::splat('\n'))), V::eq(x, V::splat('\r')));
    return V::either(V::but_not(below_space(x), allowed), V::eq(x, V::splat(0x7F)));
}

ZVL_TARGET void census(const char *data, uint64_t length, zarvel_census *out) {
    uint64_t counts[11] = {};
    uint64_t controls = 0;
    vec high = V::zero();
    uint64_t i = 0;
    while (i < length) {
        vec lanes[11];
        for (vec &l : lanes) l = V::zero();
        vec control_lanes = V::zero();
        for (uint64_t r = 0; r < rounds_per_sum && i < length; ++r, i += 64) {
            const uint64_t rest = length - i;
            chunk c = rest >= 64 ? load_chunk(data + i) : load_padded(data + i, rest, ' ');
            for (unsigned k = 0; k < V::parts; ++k) {
                const vec x = c.part[k];
                for (unsigned j = 0; j < 11; ++j) lanes[j] = V::sub(lanes[j], V::eq(x, V::splat(census_bytes[j])));
                control_lanes = V::sub(control_lanes, control_bytes(x));
                high = V::either(high, x);
            }
        }
        for (unsigned j = 0; j < 11; ++j) counts[j] += V::byte_sum(lanes[j]);
        controls += V::byte_sum(control_lanes);
    }
    out->line_feeds = counts[0];
    out->commas = counts[1];
    out->hyphens = counts[2];
    out->colons = counts[3];
    out->open_brackets = counts[4];
    out->open_braces = counts[5];
    out->double_quotes = counts[6];
    out->single_quotes = counts[7];
    out->bars = counts[8];
    out->ampersands = counts[9];
    out->number_signs = counts[10];
    out->non_ascii = V::any(high) ? 1 : 0;
    out->controls = static_cast<uint32_t>(controls);  // wraps like a 32-bit running count
}

// ---- searches ----------------------------------------------------------------

ZVL_TARGET int64_t find3(const char *data, uint64_t length, uint8_t b0, uint8_t b1, uint8_t b2) {
    if (length < 3) return -1;
    const vec v0 = V::splat(b0), v1 = V::splat(b1), v2 = V::splat(b2);
    char buffer[64];
    // A chunk settles the 62 starts whose three bytes it holds.
    for (uint64_t at = 0; at + 2 < length; at += 62) {
        const window w = window_at(data, length, at, buffer);
        const chunk c = load_chunk(w.p);
        const uint64_t m0 = (equal_mask(c, v0) >> w.skip) & w.valid;
        if (!m0) continue;
        const uint64_t m1 = (equal_mask(c, v1) >> w.skip) & w.valid;
        const uint64_t m2 = (equal_mask(c, v2) >> w.skip) & w.valid;
        const uint64_t starts = length - at - 2 < 62 ? length - at - 2 : 62;
        const uint64_t hits = m0 & (m1 >> 1) & (m2 >> 2) & ((uint64_t{1} << starts) - 1);
        if (hits) return static_cast<int64_t>(at + lowest(hits));
    }
    return -1;
}

ZVL_TARGET int64_t find_not(const char *data, uint64_t length, uint8_t byte) {
    const vec b = V::splat(byte);
    char buffer[64];
    for (uint64_t at = 0; at < length; at += 64) {
        const window w = window_at(data, length, at, buffer);
        const uint64_t differs = (~equal_mask(load_chunk(w.p), b) >> w.skip) & w.valid;
        if (differs) return static_cast<int64_t>(at + lowest(differs));
    }
    return -1;
}

ZVL_TARGET int64_t find_in_set(const uint8_t set[32], const char *data, uint64_t length) {
    // A stop is often near: the first bytes are looked up one by one before
    // the vectors are set up.
    const uint64_t near = length < 16 ? length : 16;
    for (uint64_t i = 0; i < near; ++i) {
        const auto c = static_cast<uint8_t>(data[i]);
        if (set[c >> 3] & (1u << (c & 7))) return static_cast<int64_t>(i);
    }
    if (near == length) return -1;
    // The sets the scanner uses have a handful of members: compare with each.
    // A large set goes byte by byte.
    uint8_t members[16];
    unsigned count = 0;
    for (unsigned b = 0; b < 256; b += 64) {
        uint64_t word;
        std::memcpy(&word, set + b / 8, 8);
        for (; word; word &= word - 1) {
            if (count == 16) {
                for (uint64_t i = 0; i < length; ++i) {
                    const auto c = static_cast<uint8_t>(data[i]);
                    if (set[c >> 3] & (1u << (c & 7))) return static_cast<int64_t>(i);
                }
                return -1;
            }
            members[count++] = static_cast<uint8_t>(b + lowest(word));
        }
    }
    if (count == 0) return -1;
    vec splats[16];
    for (unsigned j = 0; j < count; ++j) splats[j] = V::splat(members[j]);
    char buffer[64];
    for (uint64_t at = 0; at < length; at += 64) {
        const window w = window_at(data, length, at, buffer);
        const chunk c = load_chunk(w.p);
        uint64_t m = 0;
        for (unsigned k = 0; k < V::parts; ++k) {
            vec hit = V::eq(c.part[k], splats[0]);
            for (unsigned j = 1; j < count; ++j) hit = V::either(hit, V::eq(c.part[k], splats[j]));
            m |= V::bits(hit) << (k * V::width);
        }
        m = (m >> w.skip) & w.valid;
        if (m) return static_cast<int64_t>(at + lowest(m));
    }
    return -1;
}

// Closing quote: for '"' a backslash makes the next byte ordinary, for '\''
// two quotes in a row are one ordinary quote. The mask holds the quotes (and
// backslashes); each escape clears the bits up to the byte after it.
ZVL_TARGET int64_t find_quote(const char *data, uint64_t length, uint8_t quote, uint32_t *escaped) {
    const bool backslashes = quote == '"';
    const bool doubled = quote == '\'';
    const vec q = V::splat(quote), backslash = V::splat('\\');
    uint32_t saw_escape = 0;
    int64_t result = -1;
    char buffer[64];
    uint64_t at = 0;
    while (at < length) {
        const window w = window_at(data, length, at, buffer);
        const chunk c = load_chunk(w.p);
        uint64_t m = 0;
        for (unsigned k = 0; k < V::parts; ++k) {
            vec hit = V::eq(c.part[k], q);
            if (backslashes) hit = V::either(hit, V::eq(c.part[k], backslash));
            m |= V::bits(hit) << (k * V::width);
        }
        m = (m >> w.skip) & w.valid;
        uint64_t next = at + 64;
        while (m) {
            const unsigned k = lowest(m);
            const uint64_t i = at + k;
            const bool escape = (backslashes && data[i] == '\\') ||
                                (doubled && i + 1 < length && static_cast<uint8_t>(data[i + 1]) == quote);
            if (!escape) {
                result = static_cast<int64_t>(i);
                break;
            }
            saw_escape = 1;
            if (k + 2 >= 64) {
                next = i + 2;
                break;
            }
            m &= ~uint64_t{0} << (k + 2);
        }
        if (result >= 0) break;
        at = next;
    }
    if (escaped) *escaped = saw_escape;
    return result;
}

ZVL_TARGET int64_t find_json_special(const char *data, uint64_t length) {
    const vec quote = V::splat('"'), backslash = V::splat('\\');
    char buffer[64];
    for (uint64_t at = 0; at < length; at += 64) {
        const window w = window_at(data, length, at, buffer);
        const chunk c = load_chunk(w.p);
        uint64_t m = 0;
        for (unsigned k = 0; k < V::parts; ++k) {
            const vec x = c.part[k];
            m |= V::bits(V::either(V::either(V::eq(x, quote), V::eq(x, backslash)), below_space(x))) << (k * V::width);
        }
        m = (m >> w.skip) & w.valid;
        if (m) return static_cast<int64_t>(at + lowest(m));
    }
    return -1;
}

// Any byte that is neither 0x20-0x7E nor tab, line feed, carriage return.
// The padding of the last chunk is a space.
ZVL_TARGET int has_special(const char *data, uint64_t length) {
    const vec below = V::splat(0x1F), del = V::splat(0x7F);
    const vec tab = V::splat('\t'), lf = V::splat('\n'), cr = V::splat('\r');
    for (uint64_t i = 0; i < length; i += 64) {
        const uint64_t rest = length - i;
        const chunk c = rest >= 64 ? load_chunk(data + i) : load_padded(data + i, rest, ' ');
        vec special = V::zero();
        for (unsigned k = 0; k < V::parts; ++k) {
            const vec x = c.part[k];
            // Signed compares: bytes of 0x80 and above are negative, so not plain.
            const vec plain = V::both(V::gt_signed(x, below), V::gt_signed(del, x));
            const vec allowed = V::either(plain, V::either(V::either(V::eq(x, tab), V::eq(x, lf)), V::eq(x, cr)));
            special = V::either(special, V::differ(allowed, V::eq(x, x)));
        }
        if (V::any(special)) return 1;
    }
    return 0;
}

// ---- line scan ---------------------------------------------------------------
//
// One pass gives all three findings: the first line break, the first
// non-space and the first ':' or '#'. Every mark is itself a non-space, and
// so is a break, so the first non-space never lies after the line end and the
// first mark never lies before the first content.

// The window past the first two vectors, or too short for one: the 64-byte
// walk. Kept out of line so that the short cases need no stack frame.
__attribute__((noinline)) ZVL_TARGET int line_scan_long(const char *data, uint64_t length, uint64_t start,
                                                        uint64_t limit, zarvel_line_info *out) {
    const uint64_t remaining = start < length ? length - start : 0;
    const bool cut = limit < remaining;
    const uint64_t window_end = start + (cut ? limit : remaining);
    const vec lf = V::splat('\n'), cr = V::splat('\r'), space = V::splat(' ');
    const vec colon = V::splat(':'), hash = V::splat('#');
    constexpr uint64_t none = ~uint64_t{0};
    uint64_t content = none, mark = none, line_end = window_end;
    char buffer[64];
    for (uint64_t at = start; at < window_end; at += 64) {
        const window w = window_at(data, length, at, buffer);
        const chunk c = load_chunk(w.p);
        uint64_t breaks = 0, spaces = 0, marks = 0;
        for (unsigned k = 0; k < V::parts; ++k) {
            const vec x = c.part[k];
            const unsigned shift = k * V::width;
            breaks |= V::bits(V::either(V::eq(x, lf), V::eq(x, cr))) << shift;
            spaces |= V::bits(V::eq(x, space)) << shift;
            marks |= V::bits(V::either(V::eq(x, colon), V::eq(x, hash))) << shift;
        }
        const uint64_t in_window = window_end - at >= 64 ? ~uint64_t{0} : (uint64_t{1} << (window_end - at)) - 1;
        const uint64_t valid = w.valid & in_window;
        breaks = (breaks >> w.skip) & valid;
        const uint64_t content_bits = (~spaces >> w.skip) & valid;
        marks = (marks >> w.skip) & valid;
        if (content == none && content_bits) content = at + lowest(content_bits);
        if (mark == none && marks) mark = at + lowest(marks);
        if (breaks) {
            line_end = at + lowest(breaks);
            break;
        }
    }
    const uint64_t first_content = content < line_end ? content : line_end;
    const bool mark_found = mark < line_end;
    out->line_end = static_cast<uint32_t>(line_end);
    out->first_content = static_cast<uint32_t>(first_content);
    out->first_mark = static_cast<uint32_t>(mark_found ? mark : line_end);
    out->mark_found = mark_found ? 1 : 0;
    return (line_end < window_end || !cut) ? 1 : 0;
}

// The findings of a line that ends within the masks (bit k for byte start + k;
// breaks is not zero). Without branches: whether a line has a mark follows
// no pattern a predictor could learn.
inline void settle_line(uint64_t start, uint64_t breaks, uint64_t spaces, uint64_t marks, zarvel_line_info *out) {
    const unsigned end = lowest(breaks);
    const uint64_t end_bit = uint64_t{1} << end;
    // Offsets fit the 32-bit fields; 32-bit sums keep the chain to the
    // caller's next start short.
    const auto base = static_cast<uint32_t>(start);
    marks &= end_bit - 1;
    out->line_end = base + end;
    // Kept a store of its own: merged with the others into one vector store,
    // the caller's read of it would wait on the other three.
    asm("" ::: "memory");
    // The break is itself a non-space and stands in for a missing mark.
    out->first_content = base + lowest(~spaces & (end_bit | (end_bit - 1)));
    out->first_mark = base + lowest(marks | end_bit);
    out->mark_found = marks != 0;
}

ZVL_TARGET inline uint64_t break_bits(vec x) {
    return V::bits(V::either(V::eq(x, V::splat('\n')), V::eq(x, V::splat('\r'))));
}
ZVL_TARGET inline uint64_t space_bits(vec x) { return V::bits(V::eq(x, V::splat(' '))); }
ZVL_TARGET inline uint64_t mark_bits(vec x) {
    return V::bits(V::either(V::eq(x, V::splat(':')), V::eq(x, V::splat('#'))));
}

ZVL_TARGET int line_scan(const char *data, uint64_t length, uint64_t start, uint64_t limit, zarvel_line_info *out) {
    const uint64_t remaining = start < length ? length - start : 0;
    const uint64_t window = limit < remaining ? limit : remaining;
    // Each call waits for the line end of the one before, so a cache miss here
    // stalls the whole walk: ask for the lines ahead now (a hint, which reads
    // nothing even past the end).
    __builtin_prefetch(data + start + 1024);
    // Most lines end within the first vector or the second: a load or two
    // settles them.
    if (window >= V::width) {
        const vec x = V::load(data + start);
        const uint64_t breaks = break_bits(x);
        if (breaks) {
            settle_line(start, breaks, space_bits(x), mark_bits(x), out);
            return 1;
        }
        if (window >= 2 * V::width) {
            const vec y = V::load(data + start + V::width);
            const uint64_t later_breaks = break_bits(y);
            if (later_breaks) {
                settle_line(start, later_breaks << V::width, space_bits(x) | space_bits(y) << V::width,
                            mark_bits(x) | mark_bits(y) << V::width, out);
                return 1;
            }
        }
    }
    return line_scan_long(data, length, start, limit, out);
}
