#pragma once
// Strict look-ups: keys that must be present throw std::out_of_range naming the key and the
// container it was looked for in, so that a failure met on a worker says what was missing.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#include "base/cell_key.h"

namespace kavrin {

constexpr const char* bad_subscript_message = "invalid vector<T> subscript";

// The text of a key in a missing-key message.
inline std::string key_name(const cell_key& k) {
    return key_text(k).toStdString();
}
inline std::string key_name(std::string_view k) {
    return "\"" + std::string(k) + "\"";
}
inline std::string key_name(const char* k) {
    return key_name(std::string_view(k));
}
inline std::string key_name(const QString& k) {
    return key_name(std::string_view(k.toStdString()));
}
inline std::string key_name(const void* k) {
    return "at " + std::to_string(reinterpret_cast<std::uintptr_t>(k));
}
template <class Key, class = std::enable_if_t<std::is_arithmetic_v<Key>>>
std::string key_name(Key k) {
    return std::to_string(k);
}

// "Unable to find key <key> in <container>."
inline std::string missing_key_message(const std::string& key, std::string_view container) {
    return "Unable to find key " + key + " in " + std::string(container) + ".";
}

template <class Map, class Key>
auto& strict_at(Map& map, const Key& key, std::string_view container) {
    auto it = map.find(key);
    if (it == map.end()) throw std::out_of_range(missing_key_message(key_name(key), container));
    return it->second;
}

// Checked element of a list; an index beyond it is a usage error.
template <class List>
const auto& strict_index(const List& list, int i) {
    if (i < 0 || size_t(i) >= list.size()) throw std::out_of_range(bad_subscript_message);
    return list[size_t(i)];
}

}  // namespace kavrin
