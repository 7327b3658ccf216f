// Duplicate keys among a large mapping's, for the fast writers that write
// a mapping as they go and check its keys after: each key's fingerprint
// goes into an open-addressed table that serves mapping after mapping (a
// new round frees every slot at once); texts are compared only when two
// fingerprints match.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/memory.hpp"

namespace zvl {

// A key of the mapping being checked: its text's fingerprint and node id.
struct key_print {
    uint64_t print;
    uint32_t key;
};

class key_table {
  public:
    // True when no two of [first, last) are alike by same(id, id); false
    // too when the table cannot grow (the caller's slower road reports it).
    template <typename Same>
    bool distinct(const key_print *first, const key_print *last, Same same) {
        slot *table = fresh(size_t(last - first));
        if (!table) return false;
        const size_t mask = table_.size() - 1;
        for (const key_print *k = first; k != last; ++k)
            for (size_t at = size_t(k->print) & mask;; at = (at + 1) & mask) {
                if (table[at].round != round_) {
                    table[at] = {round_, uint32_t(k - first)};
                    break;
                }
                const key_print &other = first[table[at].key];
                if (other.print == k->print && same(other.key, k->key)) return false;
            }
        return true;
    }

  private:
    // The round of the mapping that filled the slot, and the place of its
    // key among that mapping's prints.
    struct slot {
        uint32_t round;
        uint32_t key;
    };
    // The table with room for n keys, all its slots free (of an older round).
    slot *fresh(size_t n) {
        size_t slots = 32;
        while (slots < 2 * n) slots *= 2;
        if (table_.size() < slots) {
            table_.clear();
            if (!table_.reserve(slots)) return nullptr;
            for (size_t i = 0; i < slots; ++i) table_.push_back({0, 0});
            round_ = 0;
        }
        if (++round_ == 0) {
            for (slot &s : table_) s.round = 0;
            round_ = 1;
        }
        return table_.data();
    }

    buffer<slot> table_;
    uint32_t round_ = 0;
};

}  // namespace zvl
