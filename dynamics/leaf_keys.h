#pragma once
// Position keys of one level's leaves, each naming a leaf by its place in the frame's leaf order:
// an open-addressing table that keeps its storage when it is cleared, since the level index is
// remade on every step.

#include <cstdint>
#include <vector>

#include "base/cell_key.h"

namespace kavrin {

class leaf_keys {
  public:
    // Empties the table, keeping its storage.
    void clear();
    static constexpr uint32_t none = 0xFFFFFFFFu;

    // Enters leaf under key unless the key is there already (the first leaf keeps it).
    bool try_emplace(const cell_key& key, uint32_t leaf);
    // Removes key; false when it is not there. Later entries move up, so that every key stays
    // reachable from its home slot.
    bool erase(const cell_key& key);
    // The leaf under key, or none.
    uint32_t find(const cell_key& key) const;
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }

  private:
    struct slot {
        cell_key key;
        uint32_t leaf = none;  // none: the slot is free
    };
    size_t home(const cell_key& key) const { return cell_key_hash()(key) & (slots_.size() - 1); }
    void grow();

    std::vector<slot> slots_;  // a power of two in size, at most three quarters full
    size_t count_ = 0;
};

}  // namespace kavrin
