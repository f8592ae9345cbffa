#pragma once
// Strict look-ups: keys that must be present throw the same error everywhere.

#include <cstddef>
#include <stdexcept>

namespace kavrin {

constexpr const char* missing_key_message = "Unable to find key in unordered_map.";
constexpr const char* bad_subscript_message = "invalid vector<T> subscript";

template <class Map, class Key>
auto& strict_at(Map& map, const Key& key) {
    auto it = map.find(key);
    if (it == map.end()) throw std::out_of_range(missing_key_message);
    return it->second;
}

// Checked element of a list; an index beyond it is a usage error.
template <class List>
const auto& strict_index(const List& list, int i) {
    if (i < 0 || size_t(i) >= list.size()) throw std::out_of_range(bad_subscript_message);
    return list[size_t(i)];
}

}  // namespace kavrin
