#include "dynamics/leaf_keys.h"

#include <algorithm>

namespace kavrin {

void leaf_keys::clear() {
    if (count_ == 0) return;
    std::fill(slots_.begin(), slots_.end(), slot());
    count_ = 0;
}

bool leaf_keys::try_emplace(const cell_key& key, uint32_t leaf) {
    if (4 * (count_ + 1) > 3 * slots_.size()) grow();
    for (size_t i = home(key);; i = (i + 1) & (slots_.size() - 1)) {
        slot& s = slots_[i];
        if (s.leaf == none) {
            s = {key, leaf};
            ++count_;
            return true;
        }
        if (s.key == key) return false;
    }
}

bool leaf_keys::erase(const cell_key& key) {
    if (slots_.empty()) return false;
    const size_t mask = slots_.size() - 1;
    size_t hole = home(key);
    for (;; hole = (hole + 1) & mask) {
        if (slots_[hole].leaf == none) return false;
        if (slots_[hole].key == key) break;
    }
    for (size_t next = (hole + 1) & mask; slots_[next].leaf != none; next = (next + 1) & mask) {
        // An entry whose home lies cyclically after the hole, up to its own slot, stays.
        const size_t h = home(slots_[next].key);
        const bool stays = hole <= next ? (hole < h && h <= next) : (hole < h || h <= next);
        if (stays) continue;
        slots_[hole] = slots_[next];
        hole = next;
    }
    slots_[hole] = slot();
    --count_;
    return true;
}

uint32_t leaf_keys::find(const cell_key& key) const {
    if (slots_.empty()) return none;
    for (size_t i = home(key);; i = (i + 1) & (slots_.size() - 1)) {
        const slot& s = slots_[i];
        if (s.leaf == none) return none;
        if (s.key == key) return s.leaf;
    }
}

void leaf_keys::grow() {
    std::vector<slot> old;
    old.swap(slots_);
    slots_.assign(std::max<size_t>(16, old.size() * 2), slot());
    count_ = 0;
    for (const slot& s : old)
        if (s.leaf != none) try_emplace(s.key, s.leaf);
}

}  // namespace kavrin
