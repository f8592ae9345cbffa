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
